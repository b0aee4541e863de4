#!/bin/sh
# The watch's systemd unit as the command line's package (karvello-cli) installs it, checked by
# systemd-analyze verify in the unpacked package beside systemd's own units: its keys, its
# instance, the program it starts.
# Skipped (status 77) where systemd-analyze is not installed.
#   verify_service.sh PACKAGE_DIR
set -eu
. "$(dirname "$0")/unpacked_unit.sh"
# The targets it names (network-online.target, multi-user.target) and their own.
for dir in /lib/systemd/system /usr/lib/systemd/system; do
  [ -d "$dir" ] && cp -an "$dir/." "$root/lib/systemd/system/"
done
# (The manual page it names is checked with the package's contents.)
said=$(systemd-analyze verify --man=no --root="$root" karvello-watch@site1.service 2>&1) &&
  status=0 || status=$?
if [ "$status" -ne 0 ] || [ -n "$said" ]; then
  echo "$said"
  echo "FAIL: systemd-analyze verify ended with $status and the complaints above"
  exit 1
fi
echo "karvello-watch@site1.service: systemd-analyze verify finds nothing to say"
