#!/bin/sh
# Runs the demo's tour headless and checks, besides its exit status, that it printed the four
# reports as the log box showed them.
#   run_tour.sh KARVELLO_DEMO
set -u
demo=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$demo" --tour >"$out"
status=$?
cat "$out"
if [ "$status" -ne 0 ]; then
  echo "FAIL: the tour ended with status $status"
  exit 1
fi
# The last line of each report, in the order of the tour.
missing=0
for line in '接收 ：05 06 00 12 00 05 E8 48' '地址：5' '电阻 =  34.5欧姆' '电压 = 220伏'; do
  if ! grep -qF "      $line" "$out"; then
    echo "FAIL: the tour did not print \"$line\""
    missing=1
  fi
done
[ "$(grep -c '^      right$' "$out")" -eq 4 ] || { echo "FAIL: not four right reports"; missing=1; }
exit $missing
