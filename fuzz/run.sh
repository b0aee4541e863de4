#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang, libFuzzer, ASan, UBSan) and runs each for
# SECONDS (default 60) on a copy of its seed corpus; the committed corpus is never grown.
# Exits non-zero on any finding (crash, sanitizer report, broken invariant, time-out, memory
# limit), leaving the input that caused it in build/fuzz/findings/<target>/. Reproduce a finding
# with: build/fuzz/fuzz/<target> build/fuzz/findings/<target>/crash-...
#
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_receive fuzz_address_text fuzz_watch_config \
  fuzz_record_text fuzz_scada_request -- -j2

bin="$root/build/fuzz/fuzz"
findings="$root/build/fuzz/findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# target:max_len. 512 bytes hold dozens of actions (one burst action alone brings up to 1 KiB);
# address texts need room for a run of digits too long for a double (over 309 digits); a
# configuration file's dozen lines fit in 1 KiB, and record texts' few rows of about 110 bytes; a
# request stream of fuzz_scada_request holds a few dozen frames after its 18 bytes of the site.
targets=(fuzz_receive:512 fuzz_address_text:512 fuzz_watch_config:1024 fuzz_record_text:1024
  fuzz_scada_request:1024)

# fuzz_one TARGET MAX_LEN: runs TARGET on a copy of its seeds; its exit status goes to
# $work/TARGET.status and its libFuzzer output to $work/TARGET.log.
fuzz_one() {
  local target="$1" max_len="$2" status=0
  local corpus="$work/$target"
  # Each sanitizer report aborts the run; leaks are findings too. A small quarantine of freed
  # memory keeps use-after-free detection for a program this size at three times the speed.
  ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:quarantine_size_mb=16${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "$bin/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$target/" \
    "$corpus" >"$work/$target.log" 2>&1 || status=$?
  echo "$status" >"$work/$target.status"
}

# The targets run side by side (each is single-threaded), then are reported in order.
for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  max_len="${entry##*:}"
  mkdir -p "$work/$target" "$findings/$target"
  rm -f "$findings/$target"/*  # the findings of an earlier run
  cp "$root/fuzz/corpus/$target/"* "$work/$target/"
  echo "== $target: ${seconds}s from $(find "$work/$target" -type f | wc -l) seeds (max_len $max_len)"
  fuzz_one "$target" "$max_len" &
done
wait

passed=0
failed=0
for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  corpus="$work/$target"
  log="$work/$target.log"
  status="$(cat "$work/$target.status" 2>/dev/null || echo 1)"
  seeds=$(find "$root/fuzz/corpus/$target" -type f | wc -l)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  size=$(find "$corpus" -type f | wc -l)
  bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
  echo "$target: executions ${execs:-unknown}, corpus $size inputs ($bytes bytes), seeds $seeds"

  if [ "$status" -ne 0 ] || ls "$findings/$target"/{crash,leak,timeout,oom}-* >/dev/null 2>&1; then
    echo "$target: FINDING (exit $status); the input is in $findings/$target/" >&2
    grep -E -A40 'INVARIANT VIOLATED|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error' \
      "$log" | head -80 >&2 || tail -40 "$log" >&2
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
