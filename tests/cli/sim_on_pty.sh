# Sourced by the shell tests once their tools are found: a folder $work removed at the end with
# the simulator, if one was started; fail MESSAGE ends the test as failed; start_sim_on_pty SIM
# LOG starts `SIM --address 1` in the background, its output in LOG, and sets sim_pid and pty (its
# pseudo-terminal) once it serves.
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

start_sim_on_pty() {
  "$1" --address 1 >"$2" 2>&1 &
  sim_pid=$!
  i=0
  while ! grep -q /dev/pts "$2"; do
    i=$((i + 1))
    [ "$i" -lt 100 ] || fail "no simulator"
    sleep 0.1
  done
  pty=$(grep -o '/dev/pts/[0-9]*' "$2" | head -1)
}
