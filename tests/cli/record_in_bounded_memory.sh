#!/bin/sh
# A record of 1 GiB with a hole (a damaged file: a run of zeros a file system gives back for a
# part never written), then one row: `history` shows the row and a watch with --alarm-above
# starts, each in under 100 MB of memory (peak resident size, as /usr/bin/time measures it), the
# watch's first reading made within 2 s of its start.
# Usage: record_in_bounded_memory.sh KARVELLO_CLI KARVELLO_SIM. Exit 77 (skipped) without
# /usr/bin/time or truncate.
set -eu
cli="$1"
sim="$2"
[ -x /usr/bin/time ] && command -v truncate >/dev/null && command -v pgrep >/dev/null || exit 77
. "$(dirname "$0")/sim_on_pty.sh"
limit_kib=$((100 * 1000 * 1000 / 1024))

truncate -s 1G "$work/record.csv"
printf '\r\n%s,/dev/ttyUSB0,1,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n' \
  "$(date +%Y-%m-%dT%H:%M:%S.000%:z)" >>"$work/record.csv"

KARVELLO_RECORD="$work/record.csv" /usr/bin/time -f "%M" "$cli" history >"$work/history.out" \
  2>"$work/history.err" || fail "history ended $?: $(cat "$work/history.err")"
peak=$(tail -1 "$work/history.err")
echo "history: peak $peak KiB; $(head -1 "$work/history.err")"
[ "$peak" -lt "$limit_kib" ] || fail "history peaked at $peak KiB"
grep -q "address 1  voltage  220 V" "$work/history.out" || fail "the row: $(cat "$work/history.out")"
grep -q "damaged line(s) of the record were not read" "$work/history.err" || fail "not told"

start_sim_on_pty "$sim" "$work/sim.out"
# A voltage first, then the resistance that the alarm rule judges (its measurement takes 19 s:
# the watch is stopped once the voltage is printed).
begin=$(date +%s%N)
KARVELLO_RECORD="$work/record.csv" /usr/bin/time -f "%M" "$cli" -p "$pty" watch -a 1 --every 60s \
  --voltage --resistance --alarm-above 20 >"$work/watch.out" 2>"$work/watch.err" &
time_pid=$!
i=0
while ! grep -q "address 1  voltage" "$work/watch.out"; do
  i=$((i + 1))
  [ "$i" -lt 1000 ] || break
  sleep 0.01
done
end=$(date +%s%N)
took=$(((end - begin) / 1000000))
watch_pid=$(pgrep -P "$time_pid" || true)
[ -n "$watch_pid" ] && kill -TERM "$watch_pid" && sleep 0.2 && kill -TERM "$watch_pid" 2>/dev/null || true
wait "$time_pid" || true
peak=$(tail -1 "$work/watch.err")
echo "watch: first reading after $took ms, peak $peak KiB: $(head -1 "$work/watch.out")"
grep -q "address 1  voltage  220 V" "$work/watch.out" || fail "no reading: $(cat "$work/watch.out" "$work/watch.err")"
[ "$took" -lt 2000 ] || fail "the first reading came after $took ms"
[ "$peak" -lt "$limit_kib" ] || fail "the watch peaked at $peak KiB"
