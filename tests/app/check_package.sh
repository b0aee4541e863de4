#!/bin/sh
# Builds the Debian package with CPack from the build tree and checks what it holds and what it
# depends on. (scripts/check-packages runs Debian's own checkers on it.)
#   check_package.sh CPACK CPACK_CONFIG OUTPUT_DIR mqtt|no-mqtt
set -eu
cpack=$1
config=$2
out=$3
mqtt=${4:-no-mqtt}
# The application's id: the name of the desktop entry and the software-centre entry.
app_id=org.karvello.Karvello
desktop=./usr/share/applications/$app_id.desktop
rm -rf "$out"
mkdir -p "$out"
"$cpack" -G DEB --config "$config" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
echo "built $deb"

fail=0
# need MESSAGE COMMAND...: the check COMMAND holds, or the message and the failure.
need() { msg=$1; shift; "$@" || { echo "FAIL: $msg"; fail=1; }; }
contents=$(dpkg-deb -c "$deb")
icons=""
for size in 16 32 48 64 128 256; do
  icons="$icons ./usr/share/icons/hicolor/${size}x${size}/apps/karvello.png"
done
for path in ./usr/bin/karvello ./usr/bin/karvello-sim $desktop \
            ./usr/share/metainfo/$app_id.metainfo.xml \
            ./usr/share/doc/karvello/copyright ./usr/share/doc/karvello/changelog.gz \
            ./usr/share/icons/hicolor/scalable/apps/karvello.svg $icons \
            './lib/systemd/system/karvello-watch@.service' ./etc/karvello/watch-example.conf; do
  if ! echo "$contents" | grep -q " $path\$"; then
    echo "FAIL: the package lacks $path"
    fail=1
  fi
done
# Only what a user runs: no demo, no tests, no static libraries, no headers.
if echo "$contents" | grep -E 'karvello-demo|_test|\.a$|\.h$|/include/'; then
  echo "FAIL: the package holds build-only files (above)"
  fail=1
fi
if ! echo "$contents" | grep -q '^-rwxr-xr-x .* ./usr/bin/karvello$'; then
  echo "FAIL: ./usr/bin/karvello is not an executable file"
  fail=1
fi
# Every program has its manual page, gzipped.
for program in $(echo "$contents" | sed -n 's|.* \./usr/bin/\([^/]*\)$|\1|p'); do
  echo "$contents" | grep -q " ./usr/share/man/man1/$program\.1\.gz\$" ||
    { echo "FAIL: $program has no manual page ./usr/share/man/man1/$program.1.gz"; fail=1; }
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# adduser makes the watch service's user.
needed="libqt6widgets6 libqt6serialport6 libqt6gui6 libqt6core6 libc6 libstdc++6 adduser"
[ "$mqtt" = mqtt ] && needed="$needed libmosquitto1"
for package in $needed; do
  if ! echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$package"; then
    echo "FAIL: Depends lacks $package"
    fail=1
  fi
done
# A Chinese font, the Song face first, besides the libraries.
fonts="fonts-arphic-uming | fonts-arphic-ukai | fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei"
if ! echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ *$//' | grep -qxF "$fonts"; then
  echo "FAIL: Depends lacks the Chinese font: $fonts"
  fail=1
fi
for field in Package Version Architecture Maintainer Description; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || { echo "FAIL: no $field"; fail=1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = karvello ] || { echo "FAIL: package name"; fail=1; }

# The service's maintainer scripts, executable, and the example options as a conffile (purge
# removes it; the records under /var/lib/karvello are no file of the package's).
control=$(mktemp -d)
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || { echo "FAIL: no executable $script"; fail=1; }
done
need "the conffiles are not /etc/karvello/watch-example.conf" \
  [ "$(cat "$control/conffiles" 2>/dev/null)" = /etc/karvello/watch-example.conf ]
if echo "$contents" | grep -q ' \./var/lib/karvello'; then
  echo "FAIL: the package holds /var/lib/karvello, which would go with it"
  fail=1
fi
rm -rf "$control"

# The desktop entry starts the installed binary with the installed icon.
entry=$(mktemp -d)
trap 'rm -rf "$entry"' EXIT
dpkg-deb -x "$deb" "$entry"
# Each PNG icon is drawn at the size of its folder.
for size in 16 32 48 64 128 256; do
  png="$entry/usr/share/icons/hicolor/${size}x${size}/apps/karvello.png"
  [ -f "$png" ] || continue
  file "$png" | grep -q "PNG image data, $size x $size," ||
    { echo "FAIL: $png is not a $size x $size PNG: $(file -b "$png")"; fail=1; }
done
# The name, version and description a desktop shows are those of the package, and the release
# is the changelog's latest entry.
version=$(dpkg-deb -f "$deb" Version)
synopsis=$(dpkg-deb -f "$deb" Description | head -n 1)
changelog="$entry/changelog"
gzip -dc "$entry/usr/share/doc/karvello/changelog.gz" >"$changelog"
need "the changelog's latest entry is not the package's version $version" \
  [ "$(dpkg-parsechangelog -l "$changelog" -S Version)" = "$version" ]
# (The day as written, "Mon, 07 Dec 2026 12:00:00 +0000": its time zone moves no date.)
released=$(date -d "$(dpkg-parsechangelog -l "$changelog" -S Date | cut -d ' ' -f 2-4)" +%F)
metainfo="$entry/usr/share/metainfo/$app_id.metainfo.xml"
need "the metainfo's release is not version $version of $released" \
  grep -q "<release version=\"$version\" date=\"$released\"/>" "$metainfo"
need "the metainfo's id is not $app_id" grep -qF "<id>$app_id</id>" "$metainfo"
need "the metainfo's launchable is not $app_id.desktop" \
  grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo"
# The running program names the same desktop entry, so that the desktop matches its windows.
need "./usr/bin/karvello does not name the desktop entry $app_id" \
  grep -qaF "$app_id" "$entry/usr/bin/karvello"
# The licence: Apache-2.0, in a machine-readable copyright file.
copyright="$entry/usr/share/doc/karvello/copyright"
dep5=https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
need "the copyright file is not machine-readable" [ "$(head -n 1 "$copyright")" = "Format: $dep5" ]
need "the copyright file does not give the licence Apache-2.0" \
  grep -qx 'License: Apache-2.0' "$copyright"
need "the metainfo's summary is not \"$synopsis\"" \
  grep -qF "<summary>$synopsis</summary>" "$metainfo"
need "the desktop entry's comment is not \"$synopsis\"" \
  grep -qxF "Comment=$synopsis" "$entry/$desktop"
for key in 'Type=Application' 'Name=Karvello' 'Exec=karvello' 'Icon=karvello' 'Terminal=false'; do
  need "the desktop entry lacks $key" grep -qx "$key" "$entry/$desktop"
done
desktop-file-validate "$entry/$desktop" || fail=1
exit $fail
