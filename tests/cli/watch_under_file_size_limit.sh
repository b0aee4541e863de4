#!/bin/sh
# A watch under a file-size limit of 4000 bytes (`ulimit -f`, systemd's LimitFSIZE=) makes its 60
# readings and ends well: the record holds whole rows only, the rows past the limit are counted
# and told, and every reading is either a row or one of those counted.
# Usage: watch_under_file_size_limit.sh KARVELLO_CLI KARVELLO_SIM. Exit 77 (skipped) without
# prlimit.
set -eu
cli="$1"
sim="$2"
command -v prlimit >/dev/null || exit 77
. "$(dirname "$0")/sim_on_pty.sh"

start_sim_on_pty "$sim" "$work/sim.out"

status=0
KARVELLO_RECORD="$work/record.csv" prlimit --fsize=4000 "$cli" -p "$pty" watch -a 1 \
  --every 100ms --count 60 --voltage >"$work/watch.out" 2>"$work/watch.err" || status=$?
[ "$status" -eq 0 ] || fail "the watch ended $status: $(cat "$work/watch.err")"
readings=$(grep -c "address 1  voltage  220 V" "$work/watch.out" || true)
[ "$readings" -eq 60 ] || fail "$readings readings of 60: $(cat "$work/watch.err")"
grep -q "cannot be written: File too large" "$work/watch.err" || fail "not told: $(cat "$work/watch.err")"
not_kept=$(sed -n 's/.* \([0-9][0-9]*\) row(s) were not kept in the record .*/\1/p' "$work/watch.err")
[ -n "$not_kept" ] || fail "no count: $(cat "$work/watch.err")"
size=$(wc -c <"$work/record.csv")
[ "$size" -le 4000 ] || fail "the record has $size bytes"
[ "$(tail -c 2 "$work/record.csv" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "a row cut short"
rows=$(grep -c ',voltage,answered,220,V,' "$work/record.csv" || true)
[ $((rows + not_kept)) -eq 60 ] || fail "$rows rows and $not_kept not kept, of 60 readings"
echo "$rows rows kept, $not_kept counted as not kept"
