#!/usr/bin/env bash
# `karvello-cli history` over a record of about 300,000 rows, side by side with Python's csv
# module reading the same files, taking turns in one run; and the peak memory of `history` and of
# a watch's start (--alarm-above, which reads the record's end) over a record of 1 GiB with a hole.
#
# The record: record.1.csv and record.csv as the record sets its files aside, 150,000 rows each
# (ten detectors, a voltage and a resistance in turn, one row every 30 s up to a day ago, one in
# 50 unanswered),
# written by a short script.
#
# Usage: bench/history_vs_csv.sh [BUILD_DIR] [REPS]   (default build/default, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
reps="${2:-5}"
cli="$build/bin/karvello-cli"
sim="$build/bin/karvello-sim"
python=/usr/bin/python3
for tool in "$cli" "$sim" "$python" /usr/bin/time; do
  [ -x "$tool" ] || { echo "missing: $tool (build first)" >&2; exit 2; }
done
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$python" - "$work" <<'PY'
import datetime, sys
folder = sys.argv[1]
# Ending a day before now: a row dated past now is damaged.
start = (datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=8))).replace(microsecond=0)
         - datetime.timedelta(seconds=30 * 300000 + 86400))
head = "\ufefftime,port,address,operation,result,value,unit,again,sent,reply\r\n"
n = 0
for name in ("record.1.csv", "record.csv"):
    lines = [head]
    for _ in range(150000):
        at = (start + datetime.timedelta(seconds=30 * n)).isoformat(timespec="milliseconds")
        address = n % 10 + 1
        if n % 50 == 49:
            lines.append(f"{at},/dev/ttyUSB0,{address},voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,\r\n")
        elif n % 2 == 0:
            lines.append(f"{at},/dev/ttyUSB0,{address},voltage,answered,220,V,,"
                         "05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n")
        else:
            lines.append(f"{at},/dev/ttyUSB0,{address},resistance,answered,34.5,\u03a9,,"
                         "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C,"
                         "05 03 04 01 59 00 01 AF DC\r\n")
        n += 1
    with open(f"{folder}/{name}", "w", encoding="utf-8", newline="") as f:
        f.write("".join(lines))
PY
cat >"$work/read.py" <<'PY'
import csv, sys
rows = 0
for path in sys.argv[1:]:
    with open(path, encoding="utf-8-sig", newline="") as f:
        for row in csv.reader(f):
            rows += 1
print(rows, file=sys.stderr)
PY

seconds() { /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -1; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$work/cli.plain"; : >"$work/cli.csv"; : >"$work/python"
for _ in $(seq "$reps"); do
  KARVELLO_RECORD="$work/record.csv" seconds "$cli" history >>"$work/cli.plain"
  seconds "$python" "$work/read.py" "$work/record.1.csv" "$work/record.csv" >>"$work/python"
  KARVELLO_RECORD="$work/record.csv" seconds "$cli" history --format csv >>"$work/cli.csv"
done
rows=$(KARVELLO_RECORD="$work/record.csv" "$cli" history | wc -l)
echo "history over $rows rows, $reps runs each, taking turns (median wall seconds):"
echo "  karvello-cli history               $(median <"$work/cli.plain")   ($(tr '\n' ' ' <"$work/cli.plain"))"
echo "  karvello-cli history --format csv  $(median <"$work/cli.csv")   ($(tr '\n' ' ' <"$work/cli.csv"))"
echo "  python3 csv.reader, same files     $(median <"$work/python")   ($(tr '\n' ' ' <"$work/python"))"

# A record of 1 GiB with a hole, then one row: peak memory of history, and a watch's start.
hole="$work/hole"
mkdir -p "$hole"
truncate -s 1G "$hole/record.csv"
printf '\r\n%s,/dev/ttyUSB0,1,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n' \
  "$(date +%Y-%m-%dT%H:%M:%S.000%:z)" >>"$hole/record.csv"
KARVELLO_RECORD="$hole/record.csv" /usr/bin/time -f "%e %M" "$cli" history >"$work/hole.out" 2>"$work/hole.err" || true
echo "history over 1 GiB with a hole: $(tail -1 "$work/hole.err" | awk '{ print $1 " s, peak " int($2 / 1024) " MiB" }'), $(grep -c address "$work/hole.out") row(s) shown"

"$sim" -a 1 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q /dev/pts "$work/sim.out" && break; sleep 0.1; done
pty=$(grep -o '/dev/pts/[0-9]*' "$work/sim.out" | head -1)
begin=$(date +%s%N)
KARVELLO_RECORD="$hole/record.csv" /usr/bin/time -f "%M" "$cli" -p "$pty" watch -a 1 --every 1s \
  --count 1 --voltage --alarm-above 20 >"$work/watch.out" 2>"$work/watch.err" || true
end=$(date +%s%N)
echo "watch --alarm-above over it, one reading: $(( (end - begin) / 1000000 )) ms to the end, peak $(( $(tail -1 "$work/watch.err") / 1024 )) MiB; printed: $(head -1 "$work/watch.out")"
