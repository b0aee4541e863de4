#!/bin/sh
# Each row appended to the record is brought to the disk once, after it is written and before
# the append says it is kept; a row the disk does not take is an append that failed. strace
# counts the system calls of record_writer, and in the second case makes every fsync fail.
# Skipped (status 77) where strace is missing or may not trace.
#   rows_reach_the_disk.sh RECORD_WRITER
set -eu
writer=$1
if ! command -v strace >/dev/null 2>&1; then
  echo "SKIP: strace is not installed (scripts/setup installs it)"
  exit 77
fi
if ! strace -qq -o /dev/null true 2>/dev/null; then
  echo "SKIP: strace may not trace here (ptrace refused)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)  # as strace names the files
# LeakSanitizer cannot run under ptrace: in a sanitizer build the writer leaves leaks unchecked.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
rows=5

# Case 1: the calls on the record file, a letter each (w a write, s an fsync or fdatasync), are
# one or more writes then one sync, for each row in turn.
record=$work/kept.csv
strace -f -qq -y -e signal=none -e trace=write,pwrite64,writev,pwritev,fsync,fdatasync \
  -o "$work/calls" "$writer" "$record" "$rows" kept
calls=$(grep -F "<$record>" "$work/calls" |
  sed -n -e 's/^[0-9]* *\(write\|pwrite64\|writev\|pwritev\)(.*/w/p' \
    -e 's/^[0-9]* *\(fsync\|fdatasync\)(.*/s/p' | tr -d '\n')
expected=$(printf 'w+s%.0s' $(seq "$rows"))
if ! printf '%s\n' "$calls" | grep -Eqx "$expected"; then
  echo "FAIL: $rows rows appended, calls on the record (w write, s sync): '$calls'"
  grep -F "<$record>" "$work/calls" || true
  exit 1
fi

# Case 2: every fsync fails (EIO): each append fails, and record_writer says so (status 1).
record=$work/lost.csv
status=0
strace -f -qq -e signal=none -e trace=fsync,fdatasync -e inject=fsync,fdatasync:error=EIO \
  -o /dev/null "$writer" "$record" "$rows" lost || status=$?
if [ "$status" -ne 1 ]; then
  echo "FAIL: appends whose fsync failed ended record_writer with status $status, not 1"
  exit 1
fi
echo "PASS: $rows rows, each written then synced once; a failed sync fails its append"
