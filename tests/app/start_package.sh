#!/bin/sh
# Unpacks the window's Debian package (karvello) built by check_package.sh into a directory of
# its own and starts the unpacked karvello on a virtual X display: its window must appear. The
# program is then ended; nothing of the system is touched.
#   start_package.sh PACKAGE_DIR
set -eu
deb=$(ls "$1"/karvello_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
test -x "$root/usr/bin/karvello"

# Inside xvfb-run: start the program, wait up to 10 s for a visible window named Karvello, read
# the icons the window hands the window manager, then end the program by its process id.
# The window goes to the X display even where the tests run on the offscreen platform.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  QT_QPA_PLATFORM=xcb "$1" &
  pid=$!
  found=$(timeout 10 xdotool search --sync --onlyvisible --name "^Karvello\$" | head -n 1) || true
  icons=
  if [ -n "$found" ]; then
    echo "window $found: $(xdotool getwindowname "$found")"
    xwininfo -id "$found" | grep -E "Width|Height|Map State"
    icons=$(xprop -id "$found" _NET_WM_ICON | grep -o "Icon ([0-9]* x [0-9]*)" | tr "\n" " ")
    echo "window icons: $icons"
  fi
  alive=yes
  kill -0 "$pid" 2>/dev/null || alive=no
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ -n "$found" ] || { echo "FAIL: no Karvello window appeared"; exit 1; }
  # Qt hands the window manager the sizes up to 128 pixels.
  for size in 16 32 48 64 128; do
    case "$icons" in
      *"Icon ($size x $size)"*) ;;
      *) echo "FAIL: the window carries no $size x $size icon"; exit 1 ;;
    esac
  done
  [ "$alive" = yes ] || { echo "FAIL: karvello had ended by itself"; exit 1; }
' sh "$root/usr/bin/karvello"
