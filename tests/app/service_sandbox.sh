#!/bin/sh
# The watch as its service runs it, without systemd (which need not be running here): what the
# unit's sandbox allows, read from the unit itself, against what a real watch does. The watch
# reads karvello-sim, publishes to a Mosquitto broker (where one is installed), serves its page
# and its SCADA port on 127.0.0.1 to a client that reads both, and records, all under strace,
# with the unit's umask and its record folder at the unit's mode, from the folder / and with
# HOME at the record's folder, as systemd starts it. Then:
#   the record (and every file the watch made) has 0666 less the umask, nothing for others;
#   every system call it made is one SystemCallFilter= lets through;
#   every socket it made is of a family RestrictAddressFamilies= names;
#   and, each where the unit sets it:
#   no memory was mapped writable and executable at once (MemoryDenyWriteExecute=yes);
#   it made or changed files only in the record's folder, ReadWritePaths= and /tmp
#   (ProtectSystem=strict, StateDirectory=, PrivateTmp=yes);
#   the devices it opened are DevicePolicy=closed's own and its serial line;
#   of /proc it read only its own processes' files (ProcSubset=pid); no home folder
#   (ProtectHome=yes).
# Exit 77 (skipped) without strace (or where it may not trace), systemd-analyze or python3.
#   service_sandbox.sh KARVELLO_CLI KARVELLO_SIM UNIT_FILE [MOSQUITTO]
set -eu
cli=$(readlink -f "$1")
sim=$2
unit=$(readlink -f "$3")
mosquitto=${4:-}
for tool in strace systemd-analyze python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
strace -f -qq -o /dev/null true 2>/dev/null || { echo "SKIP: strace may not trace here"; exit 77; }

# (Outside /tmp, which the unit's PrivateTmp= lets the watch write: the record's folder is only
# writable by StateDirectory=.)
work=$(readlink -f "$(mktemp -d "$PWD/service-sandbox.XXXXXX")")
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
flunk() { echo "FAIL: $*"; fail=1; }

# The values the unit gives KEY, one a line, in order (a key given twice gives both).
values() { sed -n "s/^$1=//p" "$unit"; }
umask_value=$(values UMask)
folder_mode=$(values StateDirectoryMode)
[ -n "$umask_value" ] && [ -n "$folder_mode" ] || { echo "FAIL: the unit sets no UMask or StateDirectoryMode"; exit 1; }

# A free TCP port on 127.0.0.1.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Waits up to 10 s for a listener on 127.0.0.1:PORT.
wait_port() {
  python3 -c '
import socket, sys, time
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)' "$1"
}

"$sim" --address 1 >"$work/sim.out" 2>&1 &
pids="$pids $!"
i=0
while ! grep -q /dev/pts "$work/sim.out"; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "FAIL: no simulator: $(cat "$work/sim.out")"; exit 1; }
  sleep 0.1
done
pty=$(grep -o '/dev/pts/[0-9]*' "$work/sim.out" | head -n 1)

http_port=$(free_port)
scada_port=$(free_port)
set -- --http "127.0.0.1:$http_port" --modbus-server "127.0.0.1:$scada_port"
if [ -n "$mosquitto" ] && [ -x "$mosquitto" ]; then
  broker_port=$(free_port)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" >"$work/mosquitto.conf"
  "$mosquitto" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  pids="$pids $!"
  wait_port "$broker_port" || { echo "FAIL: no broker: $(cat "$work/mosquitto.log")"; exit 1; }
  set -- "$@" --mqtt "mqtt://127.0.0.1:$broker_port" --site sandbox
else
  echo "(no Mosquitto: the watch publishes to no broker)"
fi

state=$work/state
mkdir "$state"
chmod "$folder_mode" "$state"
# The page's status, then the SCADA's voltage register of address 1 (Modbus TCP, function 3)
# once the watch has a reading (until then the answer is an exception).
python3 -c '
import socket, sys, time
def ask(port, request):
    for _ in range(200):
        try:
            with socket.create_connection(("127.0.0.1", port), 1) as s:
                s.sendall(request)
                return s.recv(4096)
        except OSError:
            time.sleep(0.05)
    return b""
page = ask(int(sys.argv[1]), b"GET /api/status HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
for _ in range(100):
    registers = ask(int(sys.argv[2]), bytes.fromhex("0001000000060103000f0001"))
    if registers[7:8] == b"\x03":
        break
    time.sleep(0.1)
print("page:", page.split(b"\r\n")[0].decode(errors="replace"), "; SCADA:", registers.hex())
' "$http_port" "$scada_port" >"$work/client.out" 2>&1 &
pids="$pids $!"
status=0
(
  cd /
  umask "$umask_value"
  HOME=$state KARVELLO_RECORD=$state/record.csv exec timeout 60 \
    strace -ff -qq -s 256 -o "$work/trace" \
    "$cli" -p "$pty" watch -a 1 --every 500ms --count 6 --voltage "$@"
) >"$work/watch.out" 2>"$work/watch.err" || status=$?
# (A file a process: no call of one thread is cut by another's.)
cat "$work"/trace.* >"$work/trace" 2>/dev/null || true
echo "watch ended with $status: $(head -n 1 "$work/watch.out")"
if [ "$status" -ne 0 ] || ! grep -q "address 1  voltage" "$work/watch.out"; then
  cat "$work/watch.out" "$work/watch.err"
  echo "FAIL: the watch did not read the simulator and end with status 0"
  exit 1
fi
cat "$work/client.out"
grep -q '^page: HTTP/1.[01] 200' "$work/client.out" || flunk "the page did not answer"
grep -q 'SCADA: 000100000005010302' "$work/client.out" || flunk "the SCADA port did not answer"
if [ -n "${broker_port:-}" ] && ! grep -q "^connect(.*sin_port=htons($broker_port)" "$work/trace"; then
  flunk "the watch did not connect to the broker"
fi

# The record and whatever else the watch made there: 0666 less the unit's umask, nothing for
# other users; the folder as it was.
expected_mode=$(printf '%o' $((0666 & ~0$umask_value)))
[ -f "$state/record.csv" ] || flunk "no record in $state"
for file in "$state"/*; do
  mode=$(stat -c %a "$file")
  [ "$mode" = "$expected_mode" ] || flunk "$(basename "$file") has mode $mode, not $expected_mode"
  [ $((0$mode & 7)) -eq 0 ] || flunk "$(basename "$file") is open to other users ($mode)"
done
[ $((0$(stat -c %a "$state"))) -eq $((0$folder_mode)) ] ||
  flunk "the record's folder is $(stat -c %a "$state") now, not $folder_mode"

# The system calls: what the filter lets through is the union of its lists, less those of its
# lists that begin with "~".
expand() {
  systemd-analyze syscall-filter "$1" | sed '1d; s/^ *//; /^#/d; /^$/d' | while read -r name; do
    case $name in
      @*) expand "$name" ;;
      *) echo "$name" ;;
    esac
  done
}
: >"$work/allowed"
: >"$work/denied"
values SystemCallFilter | while read -r list; do
  case $list in
    "~"*) target=$work/denied; list=${list#\~} ;;
    *) target=$work/allowed ;;
  esac
  for name in $list; do
    case $name in
      @*) expand "$name" >>"$target" ;;
      *) echo "$name" >>"$target" ;;
    esac
  done
done
[ -s "$work/allowed" ] || flunk "the unit's SystemCallFilter= lets nothing through"
sort -u "$work/allowed" -o "$work/allowed"
sort -u "$work/denied" -o "$work/denied"
comm -23 "$work/allowed" "$work/denied" >"$work/permitted"
sed -n 's/^\([a-z0-9_]*\)(.*/\1/p' "$work/trace" | sort -u >"$work/used"
echo "system calls: $(wc -l <"$work/used") used, $(wc -l <"$work/permitted") permitted"
refused=$(comm -23 "$work/used" "$work/permitted")
[ -z "$refused" ] || flunk "the watch makes system calls the filter refuses: $(echo $refused)"

# The sockets' families.
families=$(values RestrictAddressFamilies | tr ' ' '\n')
for family in $(grep -o 'socket\(pair\)\?(AF_[A-Z0-9]*' "$work/trace" | sed 's/.*(//' | sort -u); do
  echo "$families" | grep -qxF "$family" || flunk "the watch opens a socket of $family"
done

# Memory writable and executable at once.
if [ "$(values MemoryDenyWriteExecute)" = yes ] &&
   grep -E '(mmap|mprotect|pkey_mprotect)\(.*PROT_WRITE\|PROT_EXEC' "$work/trace"; then
  flunk "the watch maps memory writable and executable (above)"
fi

# The paths the watch made, changed or opened to write, where that worked.
sed -n -e 's/^\(open\|creat\|mkdir\|unlink\|rename\|truncate\|chmod\)("\([^"]*\)".*) = [0-9].*/\1 \2/p' \
       -e 's/^\(openat\|mkdirat\|unlinkat\|renameat2\?\|fchmodat\)(AT_FDCWD, "\([^"]*\)".*) = [0-9].*/\1 \2/p' \
       "$work/trace" >"$work/paths"
grep -v '^open' "$work/paths" >"$work/changed" || true
# (A rename's second path, where it goes.)
sed -n 's/^\(rename\|renameat2\?\)(.*"\([^"]*\)".*) = 0.*/\1 \2/p' "$work/trace" >>"$work/changed"
grep -E '^open(at)?\(.*(O_WRONLY|O_RDWR|O_CREAT|O_TRUNC).*\) = [0-9]' "$work/trace" |
  sed -n 's/^open[at]*([^"]*"\([^"]*\)".*/written \1/p' >>"$work/changed"
# With ProtectSystem=strict: the record's folder (StateDirectory=), ReadWritePaths= and, with
# PrivateTmp=yes, /tmp and /var/tmp; the devices are DevicePolicy='s. Paths as they resolve
# (/var/lock is /run/lock).
if [ "$(values ProtectSystem)" = strict ]; then
  writable="$(values ReadWritePaths | sed 's/^-//') /dev"
  [ -n "$(values StateDirectory)" ] && writable="$writable $state"
  [ "$(values PrivateTmp)" = yes ] && writable="$writable /tmp /var/tmp"
  while read -r call path; do
    resolved=$(readlink -m "$path")
    inside=no
    for folder in $writable; do
      case $resolved in
        "$folder"/*) inside=yes ;;
      esac
    done
    [ "$inside" = yes ] || flunk "the watch writes where ProtectSystem=strict refuses: $call $path"
  done <"$work/changed"
fi
# The devices: with DevicePolicy=closed, its pseudo-devices and the serial line (here the
# simulator's pseudo-terminal; the unit's DeviceAllow= names the serial ports' kinds). Shared
# memory is files, no device.
if [ "$(values DevicePolicy)" = closed ]; then
  sed -n 's|^[a-z]* \(/dev/.*\)|\1|p' "$work/paths" "$work/changed" | sort -u |
    while read -r device; do
      case $device in
        /dev/null | /dev/zero | /dev/full | /dev/random | /dev/urandom | "$pty" | /dev/shm/*) ;;
        *) echo "FAIL: the watch opens $device, which DevicePolicy=closed refuses" ;;
      esac
    done >"$work/devices"
  [ ! -s "$work/devices" ] || { cat "$work/devices"; fail=1; }
fi
# /proc: the watch's own processes only, with ProcSubset=pid; no home folder, with ProtectHome=.
proc_subset=$(values ProcSubset)
protect_home=$(values ProtectHome)
grep '^open' "$work/paths" | sed 's/^[a-z]* //' | while read -r path; do
  case $path in
    /proc/self/* | /proc/thread-self/* | /proc/[0-9]*/*) ;;
    /proc/*)
      [ "$proc_subset" != pid ] || echo "FAIL: the watch reads $path, which ProcSubset=pid hides" ;;
    /home/* | /root/* | /run/user/*)
      [ "$protect_home" != yes ] || echo "FAIL: the watch opens $path, under ProtectHome=yes" ;;
  esac
done >"$work/hidden"
[ ! -s "$work/hidden" ] || { cat "$work/hidden"; fail=1; }

[ "$fail" -eq 0 ] && echo "the watch needs nothing its service's sandbox takes away"
exit "$fail"
