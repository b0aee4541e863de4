#!/bin/sh
# Starts karvello (offscreen) twice and reads what it writes to standard error: once under a font
# configuration that knows only the DejaVu fonts, which have no Chinese characters, where it must
# write the one line that names the font package to install; once with the system's fonts, where
# it must write no such line. Each run is ended with SIGTERM as soon as karvello has put its
# signal handler in place, and must end with status 0.
#   font_warning.sh KARVELLO
set -eu
exe=$1
package=fonts-arphic-uming
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime" "$work/cache"
latin=/usr/share/fonts/truetype/dejavu
[ -d "$latin" ] || { echo "FAIL: $latin is missing (package fonts-dejavu-core)"; exit 1; }
cat >"$work/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <dir>$latin</dir>
  <cachedir>$work/cache</cachedir>
</fontconfig>
EOF

# run NAME [VAR=VALUE...]: standard error goes to $work/NAME.err
run() {
  name=$1
  shift
  env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" "$@" "$exe" 2>"$work/$name.err" &
  pid=$!
  tries=0
  # SIGTERM is signal 15: bit 0x4000 of the caught-signal mask.
  until mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) &&
        [ -n "$mask" ] && [ $((0x$mask & 0x4000)) -ne 0 ]; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ] || ! kill -0 "$pid" 2>/dev/null; then
      echo "FAIL ($name): karvello never caught SIGTERM"
      cat "$work/$name.err"
      kill "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.05
  done
  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  echo "--- $name: status $status, standard error:"
  cat "$work/$name.err"
  [ $status -eq 0 ] || { echo "FAIL ($name): status $status"; return 1; }
}

fail=0
run latin-only FONTCONFIG_FILE="$work/fonts.conf" || fail=1
warnings=$(grep -c "$package" "$work/latin-only.err" || true)
if [ "$warnings" -ne 1 ]; then
  echo "FAIL: without a Chinese font, $warnings lines name $package (expected 1)"
  fail=1
elif ! grep "$package" "$work/latin-only.err" |
     grep -q "^karvello: .*font.*sudo apt install $package\$"; then
  echo "FAIL: the warning does not say what to install"
  fail=1
fi

run system-fonts || fail=1
if grep -q "$package" "$work/system-fonts.err"; then
  echo "FAIL: the warning shows although the system has a Chinese font"
  fail=1
fi
exit $fail
