#!/bin/sh
# A bus of live detectors beside addresses that never answer, read by the real watch: the
# simulator serves detectors 1, 2 and 3 on a pseudo-terminal, and `karvello-cli watch` reads
# those and 11 to 15 (nobody there) every PERIOD for DURATION seconds. Prints, from the watch's
# JSON lines: the rounds run and left out (each round's first reading, of address 1, placed on
# the grid of the first), before and after the silent addresses were set aside, and how late
# the live detectors' readings were against their slots.
#
#   bench/dead_detectors.sh [BUILD_DIR] [DURATION_S] [PERIOD_S] [EXTRA WATCH OPTIONS...]
#   bench/dead_detectors.sh build/default 120 5
#   CLI=/path/to/other/karvello-cli bench/dead_detectors.sh build/default 120 5
set -eu
case "${1:-}" in -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
BUILD=${1:-build/default}
DURATION=${2:-120}
PERIOD=${3:-5}
[ $# -ge 3 ] && shift 3 || shift $#
SIM=$BUILD/bin/karvello-sim
CLI=${CLI:-$BUILD/bin/karvello-cli}
WORK=$(mktemp -d)
trap 'kill $SIM_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT

"$SIM" --bus 1,2,3 --measure-ms 0 > "$WORK/sim.log" 2>&1 &
SIM_PID=$!
PTY=
for _ in $(seq 50); do
  PTY=$(grep -o '/dev/pts/[0-9]*' "$WORK/sim.log" | head -1 || true)
  [ -n "$PTY" ] && break
  sleep 0.1
done
[ -n "$PTY" ] || { echo "the simulator gave no pseudo-terminal" >&2; exit 1; }

KARVELLO_RECORD="$WORK/record.csv" timeout -s INT "$DURATION" "$CLI" watch -p "$PTY" \
  -a 1,2,3,11,12,13,14,15 --every "${PERIOD}s" --voltage --format json "$@" \
  > "$WORK/out.jsonl" 2> "$WORK/err.log" || true

python3 - "$WORK/out.jsonl" "$PERIOD" <<'PY'
import json, sys
from datetime import datetime
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
period = float(sys.argv[2])
t = lambda s: datetime.fromisoformat(s).timestamp()
firsts = [t(l["time"]) for l in lines if l["address"] == 1 and l["operation"] == "voltage"]
aside = [t(l["time"]) for l in lines if l["operation"] == "set-aside" and l["result"] == "begun"]
settled = max(aside) if len(aside) == 5 else None
start = firsts[0]
slots = [round((f - start) / period) for f in firsts]
late = {a: [] for a in (1, 2, 3)}
for l in lines:
    if l["address"] in late and l["operation"] == "voltage":
        at = t(l["time"]) - start
        late[l["address"]].append((at - round(at / period) * period) * 1000)
def left_out(ss):
    return sum(b - a - 1 for a, b in zip(ss, ss[1:]))
after = [s for s, f in zip(slots, firsts) if settled is not None and f > settled]
print(f"rounds run: {len(firsts)} over {slots[-1] + 1} slots; left out: {left_out(slots)}")
if settled is not None:
    print(f"all 5 silent addresses set aside {settled - start:.1f} s after the start")
    print(f"after that: rounds run {len(after)}, left out {left_out(after)}")
else:
    print(f"set aside: {len(aside)} of 5")
for a, ms in late.items():
    ms.sort()
    print(f"address {a}: {len(ms)} readings; after its slot median {ms[len(ms)//2]:.0f} ms, "
          f"max {ms[-1]:.0f} ms")
PY
grep -c "round(s) left out" "$WORK/err.log" | sed "s/^/lines of rounds left out on stderr: /" || true
head -1 "$WORK/err.log"
