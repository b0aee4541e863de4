# Sourced by the service unit's checks with the folder of the packages as $1: skips (status 77)
# where systemd-analyze is not installed, else unpacks the command line's package (karvello-cli)
# into $root, removed at the end, and names the watch's unit in it $unit.
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (Debian: systemd)"
  exit 77
fi
deb=$(ls "$1"/karvello-cli_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
unit="$root/lib/systemd/system/karvello-watch@.service"
test -f "$unit"
