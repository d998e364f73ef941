#!/usr/bin/env bash
# Runs one CTest test of a built preset N times, JOBS at a time (each run in a loopback and
# Wine prefix of its own, as in the test command), and counts the runs that passed. For
# showing a test deterministic; the failed runs' output is kept in build/PRESET/repeat/.
#
#   tools/repeat.sh PRESET TEST N [JOBS]     e.g. tools/repeat.sh windows robustness_concurrency_threads 100 4
#   tools/wine-root.sh run -- tools/repeat.sh ...   the same under Wine 10
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 3 ] || { echo "usage: $0 PRESET TEST N [JOBS]" >&2; exit 2; }
preset=$1 test=$2 runs=$3 jobs=${4:-2}
build=build/$preset
out=$build/repeat/$test
rm -rf "$out"
mkdir -p "$out"
# The fixtures once (certificates, the Wine prefix), then the test alone, again and again.
ctest --test-dir "$build" -R "^$test\$" --output-on-failure >"$out/first.log" 2>&1 || true
run() {  # run I: one run, its log kept only when it failed
  if ctest --test-dir "$build" -R "^$test\$" -FA '.*' --output-on-failure >"$out/$1.log" 2>&1; then
    rm -f "$out/$1.log"
    echo pass >"$out/$1.result"
  else
    echo fail >"$out/$1.result"
  fi
}
started=$SECONDS
for ((i = 1; i <= runs; i++)); do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$i" &
done
wait
passed=$(grep -l pass "$out"/*.result | wc -l)
echo "$preset $test: $passed of $runs runs passed, $jobs at a time, in $((SECONDS - started)) s"
[ "$passed" = "$runs" ]
