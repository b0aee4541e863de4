#!/bin/sh
# karvello --port with an address that is none: refused before any window opens, status 2, the
# reason on standard error.
#   port_option.sh KARVELLO
set -u
karvello=$1
for case in "bogus|is no port" "COM257|ports are COM1 to COM256" "rtu+tcp://10.0.0.7|needs the server's port"; do
  address=${case%%|*}
  reason=${case#*|}
  errors=$(QT_QPA_PLATFORM=offscreen timeout 20 "$karvello" --port "$address" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne 2 ]; then
    echo "--port $address: status $status, not 2"
    exit 1
  fi
  case $errors in
    *"$reason"*) ;;
    *) echo "--port $address: no \"$reason\" in: $errors"; exit 1 ;;
  esac
done
echo "every bad --port refused"
