#!/usr/bin/env bash
# The command line over the network, side by side with a peer in one run:
#   1. a voltage read over tcp:// against pymodbus's Modbus TCP server on loopback, karvello-cli
#      and `mbpoll -m tcp` taking turns, the wall time of each whole command;
#   2. a scan of 1..255 over rtu+tcp:// (socat as the serial server in front of the simulated bus
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

# --- 1. Voltage over Modbus TCP, the tool and mbpoll in turns ---------------------------------
port="$(free_port)"
"$python" tests/serial/modbus_tcp_server.py "$port" 1 15=220 >"$work/pymodbus.out" 2>&1 &
pids+=($!)
wait_for "$work/pymodbus.out" ready
: >"$work/tool.ms"
: >"$work/mbpoll.ms"
for _ in $(seq "$reps"); do
  t0=$(now_ns)
  out="$("$cli" --no-record -p "tcp://127.0.0.1:$port" voltage -a 1)"
  t1=$(now_ns)
  [ "$out" = "220 V" ] || { echo "karvello-cli said: $out" >&2; exit 1; }
  echo "scale=3; ($t1 - $t0) / 1000000" | bc >>"$work/tool.ms"
  t0=$(now_ns)
  mbpoll -m tcp -p "$port" -a 1 -r 15 -t 4 -0 -1 -o 1 127.0.0.1 >"$work/mbpoll.out"
  t1=$(now_ns)
  grep -q "\[15\]:.*220" "$work/mbpoll.out" || { cat "$work/mbpoll.out" >&2; exit 1; }
  echo "scale=3; ($t1 - $t0) / 1000000" | bc >>"$work/mbpoll.ms"
done
tool_median="$(summary <"$work/tool.ms" | sed 's/.*median *\([0-9.]*\).*/\1/')"
mbpoll_median="$(summary <"$work/mbpoll.ms" | sed 's/.*median *\([0-9.]*\).*/\1/')"
printf 'voltage over tcp://, karvello-cli   %s\n' "$(summary <"$work/tool.ms")"
printf 'voltage over tcp://, mbpoll -m tcp  %s\n' "$(summary <"$work/mbpoll.ms")"
printf '  ratio                             %.2f\n' "$(echo "scale=4; $tool_median / $mbpoll_median" | bc)"

# --- 2. A scan of 1..255, over rtu+tcp:// and on the pseudo-terminal --------------------------
"$sim" --bus 3,7,200 >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for "$work/sim.out" "Serving /dev/"
pty="$(sed -n 's/^Serving \(\/dev\/[^ ]*\).*/\1/p' "$work/sim.out")"
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
