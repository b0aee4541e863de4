#!/bin/sh
# The watch's service unit as karvello-cli's package installs it, rated by systemd-analyze
# security (offline, from the file): an overall exposure of at most 4.0, systemd's "OK". What it
# still may do is listed.
# Skipped (status 77) where systemd-analyze is missing or cannot rate a unit file offline.
#   service_security.sh PACKAGE_DIR
set -eu
. "$(dirname "$0")/unpacked_unit.sh"
if ! systemd-analyze security --help 2>/dev/null | grep -q -- '--offline'; then
  echo "SKIP: this systemd-analyze cannot rate a unit file offline (systemd 250 or later can)"
  exit 77
fi
# --threshold=40: systemd-analyze fails past an exposure of 4.0.
said=$(systemd-analyze security --offline=yes --threshold=40 "$unit" 2>&1) && status=0 || status=$?
echo "$said" | grep '✗' || true
overall=$(echo "$said" | sed -n 's/^→ Overall exposure level for [^:]*: \([0-9][0-9.]*\) .*/\1/p')
echo "overall exposure: ${overall:-none given}"
if [ -z "$overall" ]; then
  echo "$said"
  echo "FAIL: systemd-analyze security gave no overall exposure"
  exit 1
fi
if [ "$status" -ne 0 ] || ! awk -v x="$overall" 'BEGIN { exit !(x <= 4.0) }'; then
  echo "FAIL: the unit's exposure is $overall, above 4.0 (systemd-analyze ended with $status)"
  exit 1
fi
