#!/usr/bin/env bash
# The command line over the network, side by side with a peer in one run:
#   1. a voltage read over tcp:// against pymodbus's Modbus TCP server on loopback, karvello-cli
#      and `mbpoll -m tcp` taking turns, the wall time of each whole command;
#   2. the same voltage read on a serial line (the simulated bus on a pseudo-terminal),
#      karvello-cli and `mbpoll -m rtu` taking turns, and the processor time of starting each
#      program alone (`karvello-cli --version`, `mbpoll -V`);
#   3. a scan of 1..255 over rtu+tcp:// (socat as the serial server in front of the simulated bus
#      on a pseudo-terminal) and the same scan on the pseudo-terminal directly.
#
# Usage: bench/network_line.sh [BUILD_DIR] [REPS]   (default build/default, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
reps="${2:-30}"
cli="$build/bin/karvello-cli"
sim="$build/bin/karvello-sim"
python=/usr/bin/python3
for tool in "$cli" "$sim" "$(command -v mbpoll)" "$(command -v socat)" "$python"; do
  [ -x "$tool" ] || { echo "missing: $tool (build first; scripts/setup installs the rest)" >&2; exit 2; }
done
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now_ns() { date +%s%N; }
# Median and 95th percentile of the numbers (ms) on standard input.
summary() { sort -n | awk '{v[NR]=$1} END {printf "n=%d  median %8.2f  p95 %8.2f  min %8.2f  max %8.2f ms", NR, v[int((NR+1)/2)], v[int(NR*0.95+0.5)], v[1], v[NR]}'; }
wait_for() {  # FILE TEXT: until TEXT stands in FILE (10 s at most)
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "no \"$2\" in $1" >&2; exit 1
}

# The tool's command and a peer's in turns, REPS times each: each one's wall time and their ratio.
#   turns LABEL PEER TOOL_ANSWER PEER_ANSWER TOOL_COMMAND... -- PEER_COMMAND...
# TOOL_ANSWER is a pattern the tool's output must match, PEER_ANSWER one for grep in the peer's.
turns() {
  local label="$1" peer="$2" tool_answer="$3" peer_answer="$4" tool=() t0 t1 out
  shift 4
  while [ "$1" != "--" ]; do tool+=("$1"); shift; done
  shift
  : >"$work/tool.ms"
  : >"$work/peer.ms"
  for _ in $(seq "$reps"); do
    t0=$(now_ns)
    out="$("${tool[@]}")"
    t1=$(now_ns)
    [[ "$out" =~ $tool_answer ]] || { echo "karvello-cli said: $out" >&2; exit 1; }
    echo "scale=3; ($t1 - $t0) / 1000000" | bc >>"$work/tool.ms"
    t0=$(now_ns)
    "$@" >"$work/peer.out"
    t1=$(now_ns)
    grep -q "$peer_answer" "$work/peer.out" || { cat "$work/peer.out" >&2; exit 1; }
    echo "scale=3; ($t1 - $t0) / 1000000" | bc >>"$work/peer.ms"
  done
  local tool_median peer_median
  tool_median="$(summary <"$work/tool.ms" | sed 's/.*median *\([0-9.]*\).*/\1/')"
  peer_median="$(summary <"$work/peer.ms" | sed 's/.*median *\([0-9.]*\).*/\1/')"
  printf '%-40s %s\n' "$label, karvello-cli" "$(summary <"$work/tool.ms")"
  printf '%-40s %s\n' "$label, $peer" "$(summary <"$work/peer.ms")"
  printf '  %-38s %.2f\n' ratio "$(echo "scale=4; $tool_median / $peer_median" | bc)"
}

# --- 1. Voltage over Modbus TCP, the tool and mbpoll in turns ---------------------------------
port="$(free_port)"
"$python" tests/serial/modbus_tcp_server.py "$port" 1 15=220 >"$work/pymodbus.out" 2>&1 &
pids+=($!)
wait_for "$work/pymodbus.out" ready
turns "voltage over tcp://" "mbpoll -m tcp" '^220 V$' '\[15\]:.*220' \
  "$cli" --no-record -p "tcp://127.0.0.1:$port" voltage -a 1 -- \
  mbpoll -m tcp -p "$port" -a 1 -r 15 -t 4 -0 -1 -o 1 127.0.0.1

"$sim" --bus 3,7,200 >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for "$work/sim.out" "Serving /dev/"
pty="$(sed -n 's/^Serving \(\/dev\/[^ ]*\).*/\1/p' "$work/sim.out")"

# --- 2. Voltage on a serial line, the tool and mbpoll in turns; start-up alone ----------------
turns "voltage on a serial line" "mbpoll -m rtu" ' V$' '\[15\]:' \
  "$cli" --no-record -p "$pty" voltage -a 3 -- \
  mbpoll -m rtu -b 9600 -P none -a 3 -r 15 -t 4 -0 -1 -o 1 "$pty"
cpu_ms() {  # COMMAND...: the processor time (user + system) of one run, ms, over 50 runs
  local me=$BASHPID before after
  before="$(awk '{print $14 + $15 + $16 + $17}' "/proc/$me/stat")"
  for _ in $(seq 50); do "$@" >/dev/null 2>&1; done
  after="$(awk '{print $14 + $15 + $16 + $17}' "/proc/$me/stat")"
  echo "scale=2; ($after - $before) * 1000 / $(getconf CLK_TCK) / 50" | bc
}
printf 'start-up alone, processor time: karvello-cli --version %s ms, mbpoll -V %s ms\n' \
  "$(cpu_ms "$cli" --version)" "$(cpu_ms mbpoll -V)"

# --- 3. A scan of 1..255, over rtu+tcp:// and on the pseudo-terminal --------------------------
scan() {  # ADDRESS: the wall time of a whole scan, ms
  local t0 t1 found
  t0=$(now_ns)
  found="$("$cli" --no-record -p "$1" scan --from 1 --to 255 | grep -c . || true)"
  t1=$(now_ns)
  echo "scale=1; ($t1 - $t0) / 1000000" | bc
  [ "$found" -ge 3 ] || { echo "the scan over $1 found too little ($found lines)" >&2; exit 1; }
}
direct="$(scan "$pty")"
port="$(free_port)"
socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" "FILE:$pty,raw,echo=0" >"$work/socat.out" 2>&1 &
pids+=($!)
sleep 0.3
served="$(scan "rtu+tcp://127.0.0.1:$port")"
printf 'scan 1..255 on the pseudo-terminal   %10.1f ms\n' "$direct"
printf 'scan 1..255 over rtu+tcp:// (socat)  %10.1f ms\n' "$served"
printf '  ratio                             %.3f\n' "$(echo "scale=4; $served / $direct" | bc)"
