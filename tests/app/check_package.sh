#!/bin/sh
# Builds the Debian packages with CPack from the build tree and checks what each holds and what
# it depends on: karvello, the window, and karvello-cli, the command line with the watch's
# service and the simulator, which a headless site box installs alone. (scripts/check-packages
# runs Debian's own checkers on them.)
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
ls "$out"/*.deb

fail=0
# need MESSAGE COMMAND...: the check COMMAND holds, or the message and the failure.
need() { msg=$1; shift; "$@" || { echo "FAIL: $msg"; fail=1; }; }
# The two packages and nothing else.
need "CPack made other packages than karvello and karvello-cli" \
  [ "$(cd "$out" && ls -- *.deb | sed 's/_.*//' | sort | tr '\n' ' ')" = "karvello karvello-cli " ]
deb=$(ls "$out"/karvello_*.deb)
cli_deb=$(ls "$out"/karvello-cli_*.deb)
contents=$(dpkg-deb -c "$deb")
cli_contents=$(dpkg-deb -c "$cli_deb")
# The paths of a package's files (not its folders), one a line.
files() { echo "$1" | grep -v '^d' | sed 's|.* \./|./|'; }

# Which package holds what: PACKAGE PATH, a line each.
icons=""
for size in 16 32 48 64 128 256; do
  icons="$icons ./usr/share/icons/hicolor/${size}x${size}/apps/karvello.png"
done
expected=$(
  for path in ./usr/bin/karvello ./usr/share/man/man1/karvello.1.gz $desktop \
              ./usr/share/metainfo/$app_id.metainfo.xml \
              ./usr/share/doc/karvello/copyright ./usr/share/doc/karvello/changelog.gz \
              ./usr/share/icons/hicolor/scalable/apps/karvello.svg $icons; do
    echo "karvello $path"
  done
  for path in ./usr/bin/karvello-cli ./usr/bin/karvello-sim \
              ./usr/share/man/man1/karvello-cli.1.gz ./usr/share/man/man1/karvello-sim.1.gz \
              ./usr/share/doc/karvello-cli/copyright ./usr/share/doc/karvello-cli/changelog.gz \
              './lib/systemd/system/karvello-watch@.service' ./etc/karvello/watch-example.conf; do
    echo "karvello-cli $path"
  done)
(files "$contents" | sed 's/^/karvello /'; files "$cli_contents" | sed 's/^/karvello-cli /') |
  sort >"$out/held"
# Each file where it belongs (one in the other package is missing from its own).
missing=$(echo "$expected" | sort | comm -23 - "$out/held")
[ -z "$missing" ] || { echo "FAIL: the packages lack:"; echo "$missing"; fail=1; }
# The window's package runs only the window; the command line's has nothing of a desktop's.
need "karvello holds programs besides karvello: $(files "$contents" | grep '^./usr/bin/' | tr '\n' ' ')" \
  [ "$(files "$contents" | grep '^./usr/bin/')" = ./usr/bin/karvello ]
if files "$cli_contents" | grep -E '^./usr/share/(applications|metainfo|icons|fonts)/'; then
  echo "FAIL: karvello-cli holds a desktop's files (above)"
  fail=1
fi
# No file in both: dpkg would refuse the second package.
both=$( (files "$contents"; files "$cli_contents") | sort | uniq -d)
[ -z "$both" ] || { echo "FAIL: files in both packages:"; echo "$both"; fail=1; }
# Only what a user runs: no demo, no tests, no static libraries, no headers.
if printf '%s\n%s\n' "$contents" "$cli_contents" | grep -E 'karvello-demo|_test|\.a$|\.h$|/include/'; then
  echo "FAIL: the packages hold build-only files (above)"
  fail=1
fi
for program in karvello karvello-cli karvello-sim; do
  if ! printf '%s\n%s\n' "$contents" "$cli_contents" |
      grep -q "^-rwxr-xr-x .* ./usr/bin/$program\$"; then
    echo "FAIL: ./usr/bin/$program is not an executable file"
    fail=1
  fi
done
# Every program has its manual page, gzipped, in its own package.
for listing in "$contents" "$cli_contents"; do
  for program in $(echo "$listing" | sed -n 's|.* \./usr/bin/\([^/]*\)$|\1|p'); do
    echo "$listing" | grep -q " ./usr/share/man/man1/$program\.1\.gz\$" ||
      { echo "FAIL: $program has no manual page ./usr/share/man/man1/$program.1.gz"; fail=1; }
  done
done

# deps DEB: the names of the packages it depends on, one a line (alternatives as they stand).
deps() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//; s/ ([^)]*)//g'; }
depends=$(deps "$deb")
cli_depends=$(deps "$cli_deb")
echo "karvello Depends: $(dpkg-deb -f "$deb" Depends)"
echo "karvello-cli Depends: $(dpkg-deb -f "$cli_deb" Depends)"
# A Chinese font, the Song face first, besides the libraries.
fonts="fonts-arphic-uming | fonts-arphic-ukai | fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei"
cli_needed="libqt6core6 libqt6serialport6 libc6 libstdc++6 adduser"
[ "$mqtt" = mqtt ] && cli_needed="$cli_needed libmosquitto1"
# PACKAGE NEEDED...: what each package's Depends must name ("~" for a space).
while read -r name needed; do
  [ "$name" = karvello ] && list=$depends || list=$cli_depends
  for package in $needed; do
    echo "$list" | grep -qxF "$(echo "$package" | tr '~' ' ')" ||
      { echo "FAIL: $name's Depends lacks $(echo "$package" | tr '~' ' ')"; fail=1; }
  done
done <<EOF2
karvello libqt6widgets6 libqt6gui6 libqt6core6 libc6 libstdc++6 $(echo "$fonts" | tr ' ' '~')
karvello-cli $cli_needed
EOF2
# A headless box installs the command line without Qt's GUI libraries, a display's libraries or
# a font: neither its Depends nor its programs' libraries name one.
gui='libqt6gui|libqt6widgets|libqt6opengl|fonts-|libfontconfig|libfreetype|libx11|libxcb|libgl1|libglx|libegl|libwayland'
if echo "$cli_depends" | tr '|' '\n' | sed 's/^ *//' | grep -E "^($gui)"; then
  echo "FAIL: karvello-cli depends on the window's libraries or a font (above)"
  fail=1
fi
cli_root=$(mktemp -d)
entry=$(mktemp -d)
control=$(mktemp -d)
trap 'rm -rf "$cli_root" "$entry" "$control"' EXIT
dpkg-deb -x "$cli_deb" "$cli_root"
for program in karvello-cli karvello-sim; do
  libs=$(ldd "$cli_root/usr/bin/$program") || { echo "FAIL: ldd $program"; fail=1; }
  if echo "$libs" | grep -E 'libQt6(Gui|Widgets|OpenGL)|libfontconfig|libfreetype|libX11|libxcb|libGL\.|libGLX|libEGL|libwayland'; then
    echo "FAIL: karvello-cli's $program loads the window's libraries (above)"
    fail=1
  fi
  echo "$libs" | grep -q 'libQt6Core' || { echo "FAIL: ldd of $program shows no Qt: $libs"; fail=1; }
done
# The window recommends the command line of its own version (the simulator and karvello-cli
# beside the bench) without needing it.
version=$(dpkg-deb -f "$deb" Version)
need "karvello does not recommend karvello-cli (= $version)" \
  [ "$(dpkg-deb -f "$deb" Recommends)" = "karvello-cli (= $version)" ]
need "karvello depends on karvello-cli" [ -z "$(echo "$depends" | grep -x 'karvello-cli')" ]
need "the packages' versions differ" [ "$(dpkg-deb -f "$cli_deb" Version)" = "$version" ]
for package in "$deb" "$cli_deb"; do
  for field in Package Version Architecture Maintainer Description; do
    [ -n "$(dpkg-deb -f "$package" "$field")" ] || { echo "FAIL: $package has no $field"; fail=1; }
  done
done
need "package name karvello" [ "$(dpkg-deb -f "$deb" Package)" = karvello ]
need "package name karvello-cli" [ "$(dpkg-deb -f "$cli_deb" Package)" = karvello-cli ]
# Each package says what it holds, under a synopsis of its own.
need "karvello-cli's synopsis is karvello's" \
  [ "$(dpkg-deb -f "$deb" Description | head -n 1)" != "$(dpkg-deb -f "$cli_deb" Description | head -n 1)" ]
for word in 'the bench window' karvello-cli; do
  need "karvello's description does not name $word" \
    sh -c 'dpkg-deb -f "$1" Description | tr -s " \n" "  " | grep -qF "$2"' sh "$deb" "$word"
done
for word in karvello-cli karvello-watch@NAME karvello-sim 'no display'; do
  need "karvello-cli's description does not name $word" \
    sh -c 'dpkg-deb -f "$1" Description | tr -s " \n" "  " | grep -qF "$2"' sh "$cli_deb" "$word"
done

# The service's maintainer scripts, executable, and the example options as a conffile (purge
# removes it; the records under /var/lib/karvello are no file of the package's), all with the
# command line; the window has none.
dpkg-deb -e "$cli_deb" "$control"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || { echo "FAIL: karvello-cli has no executable $script"; fail=1; }
done
need "the conffiles are not /etc/karvello/watch-example.conf" \
  [ "$(cat "$control/conffiles" 2>/dev/null)" = /etc/karvello/watch-example.conf ]
rm -rf "$control"/*
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm conffiles; do
  [ ! -e "$control/$script" ] || { echo "FAIL: karvello has a $script"; fail=1; }
done
if printf '%s\n%s\n' "$contents" "$cli_contents" | grep -q ' \./var/lib/karvello'; then
  echo "FAIL: a package holds /var/lib/karvello, which would go with it"
  fail=1
fi

# The desktop entry starts the installed binary with the installed icon.
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
# The command line's licence and changelog are the same files.
for doc in copyright changelog.gz; do
  need "karvello-cli's $doc is not karvello's" \
    cmp -s "$entry/usr/share/doc/karvello/$doc" "$cli_root/usr/share/doc/karvello-cli/$doc"
done
need "the metainfo's summary is not \"$synopsis\"" \
  grep -qF "<summary>$synopsis</summary>" "$metainfo"
need "the desktop entry's comment is not \"$synopsis\"" \
  grep -qxF "Comment=$synopsis" "$entry/$desktop"
for key in 'Type=Application' 'Name=Karvello' 'Exec=karvello' 'Icon=karvello' 'Terminal=false'; do
  need "the desktop entry lacks $key" grep -qx "$key" "$entry/$desktop"
done
desktop-file-validate "$entry/$desktop" || fail=1
exit $fail
