#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for SECONDS (default 60) on a copy
# of its seed corpus. Fails when any target reports a crash, a leak, a sanitizer error or a
# broken invariant.
#
#   tools/fuzz.sh [SECONDS]
#   FUZZ_JOBS=N      targets run at the same time (default 2)
#   FUZZ_TARGETS="a b"  run only these targets
#   FUZZ_KEEP=DIR    also copy each target's grown corpus to DIR/<target>/
#
# Scratch files (corpus copies, logs, crash inputs) go to build/fuzz/run/<target>/; the
# seed corpora in fuzz/corpus/ are never written.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${FUZZ_JOBS:-2}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: tools/fuzz.sh [SECONDS]" >&2
  exit 2
fi

echo "=== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

build=build/fuzz
run=$build/run
rm -rf "$run"
mkdir -p "$run"

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run_target() {
  local target=$1 dir=$run/$1
  mkdir -p "$dir/corpus" "$dir/artifacts"
  if [ -d "fuzz/corpus/$target" ]; then cp fuzz/corpus/"$target"/* "$dir/corpus/"; fi
  local rc=0
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
}

echo "=== fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
running=0
for target in "${targets[@]}"; do
  if [ ! -x "$build/$target" ]; then
    echo "fuzz: no such target: $target" >&2
    exit 2
  fi
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait

passed=0
failed=0
printf '%-20s %-6s %12s %9s %7s %7s %7s\n' target result executions exec/s cov ft corpus
for target in "${targets[@]}"; do
  dir=$run/$target
  rc=$(cat "$dir/rc" 2>/dev/null || echo 99)
  log=$dir/log
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | grep ' cov: ' | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(find "$dir/corpus" -type f | wc -l)
  artifacts=$(find "$dir/artifacts" -type f | wc -l)
  result=pass
  if [ "$rc" != 0 ] || [ "$artifacts" != 0 ] ||
     grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant broken' "$log"; then
    result=FAIL
  fi
  printf '%-20s %-6s %12s %9s %7s %7s %7s\n' "$target" "$result" "${executions:--}" "${speed:--}" \
    "${cov:--}" "${ft:--}" "$corpus"
  if [ "$result" = pass ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "---- $target (exit code $rc): $log" >&2
    grep -E 'invariant broken|ERROR: |runtime error:|^SUMMARY' "$log" | head -10 >&2 || true
    echo "---- end of the log" >&2
    grep -vE '^(#[0-9]+|"|###### )' "$log" | tail -40 >&2
    find "$dir/artifacts" -type f -exec echo "---- input kept: {}" \; >&2
  fi
  if [ -n "${FUZZ_KEEP:-}" ]; then
    mkdir -p "$FUZZ_KEEP/$target"
    cp "$dir"/corpus/* "$FUZZ_KEEP/$target/"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
