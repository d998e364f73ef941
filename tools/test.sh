#!/usr/bin/env bash
# Builds every preset and runs every test: the format check; the demo; natively, under the
# address and thread sanitizers; both Windows builds (64-bit and 32-bit) under the host's
# Wine 8 and under Wine 10 (tools/wine-root.sh); a bounded run of every fuzz target and a
# build of the benchmarks. Each build and each test run is a stage; a failed stage fails the
# run, the others still run. Exits non-zero when anything fails.
#
# The builds run one after another, each on every core; a build's tests start as soon as it
# is built and run beside the builds after it, since most of them wait on peers' deadlines
# rather than use the cores. Every test that talks to a service has a loopback of its own
# (cmake/isolated.sh), so stages and runs never meet. Each stage's output is in
# build/logs/STAGE.log; a failed stage's end is shown, and the last lines give each stage's
# time and the counts.
#
# One run at a time on a machine: the tests' deadlines are timed against its cores, so a second
# run started meanwhile stops at once and names the run that holds them.
#
# Settings (environment), for a shorter loop by hand; CI sets none of them:
#   HALVANE_PRESETS="linux windows"  the presets to build and test (default: all five)
#   HALVANE_SKIP_WINE10=1            no Wine 10 stages
#   HALVANE_FUZZ_SECONDS=N           seconds per fuzz target, after its saved corpus (default 10)
#   HALVANE_SKIP_FUZZ=1              no fuzz stage
#   HALVANE_SKIP_DEMO=1              no demo stage
set -euo pipefail
cd "$(dirname "$0")/.."

lock=/run/lock/halvane-test.lock
if [ -z "${HALVANE_TEST_LOCK_HELD:-}" ]; then
  # flock holds the lock for the run's life; -o keeps it from the run's own children (a Wine
  # server left running must not hold it after the run).
  status=0
  HALVANE_TEST_LOCK_HELD=1 flock -n -o -E 75 "$lock" bash tools/test.sh "$@" || status=$?
  if [ "$status" = 75 ]; then
    echo "tools/test.sh: another test run holds this machine ($lock: $(cat "$lock" 2>/dev/null));" \
      "this one stops, start it again when that one has ended" >&2
  fi
  exit "$status"
fi
echo "pid $$ in $PWD since $(date '+%F %T')" >"$lock"

# The packages first; the Wine 10 root (downloads, mostly) is made beside the first builds.
HALVANE_SKIP_WINE10=1 bash tools/install-deps.sh
presets=(${HALVANE_PRESETS:-windows windows-x86 linux linux-asan linux-tsan})
logs=build/logs
rm -rf "$logs"
mkdir -p "$logs"
stages=()

# The log file of a stage.
log_of() { echo "$logs/$(echo "$1" | tr -c 'A-Za-z0-9.\n-' '_').log"; }
# run_stage NAME COMMAND...: runs one stage, its output to its log; records its result.
run_stage() {
  local name=$1 started=$SECONDS status=0; shift
  "$@" >"$(log_of "$name")" 2>&1 </dev/null || status=$?
  echo "$status $((SECONDS - started))" >"$(log_of "$name").result"
  return "$status"
}
# stage NAME COMMAND...: a stage in the foreground.
stage() {
  stages+=("$1")
  echo "=== $1"
  run_stage "$@"
}
# A build's test stages in the background, one after another (they share the build tree).
tests_of() {
  local preset=$1 names=("$1: test")
  [[ $preset != windows* || -n "${HALVANE_SKIP_WINE10:-}" ]] || names+=("$1: test (Wine 10)")
  stages+=("${names[@]}")
  echo "=== ${names[*]}: started"
  (
    run_stage "$preset: test" ctest --preset "$preset" || true
    [ ${#names[@]} = 1 ] ||
      run_stage "$preset: test (Wine 10)" wine10 ctest --preset "$preset-wine10" || true
  ) &
}
# wine10 COMMAND...: COMMAND under Wine 10, once the root is made (`make` waits on the root's
# lock while the background stage holds it, and returns at once when the root is there).
wine10() { bash tools/wine-root.sh make && bash tools/wine-root.sh run -- "$@"; }
build() { cmake --preset "$1" && cmake --build --preset "$1"; }

if [ -z "${HALVANE_SKIP_WINE10:-}" ]; then
  stages+=("Wine 10 root")
  run_stage "Wine 10 root" bash tools/wine-root.sh make &
fi
stage "format" bash tools/check-format.sh || true
# The main job is part of the tests: if the demo breaks, the run fails. It comes first, in
# the README's order, so that every run's tests meet the build trees and Wine prefixes as a
# demo leaves them; in a loopback of its own.
if [ -z "${HALVANE_SKIP_DEMO:-}" ]; then
  stage "demo" bash cmake/isolated.sh -- bash tools/demo.sh || true
fi
for preset in "${presets[@]}"; do
  if stage "$preset: build" build "$preset"; then tests_of "$preset"; fi
done
if [ -z "${HALVANE_SKIP_FUZZ:-}" ]; then
  stages+=("fuzz")
  echo "=== fuzz: started"
  run_stage "fuzz" bash tools/fuzz.sh "${HALVANE_FUZZ_SECONDS:-10}" &
fi
# The benchmarks must at least build; tools/bench.sh runs them.
stage "bench: build" build bench || true
echo "=== waiting for the test stages"
wait

passed=0 failed=0 times=""
for name in "${stages[@]}"; do
  read -r status seconds <"$(log_of "$name").result" 2>/dev/null || { status=1 seconds=0; }
  times+=$(printf '  %-32s %5d s  %s' "$name" "$seconds" "$([ "$status" = 0 ] && echo passed || echo FAILED)")$'\n'
  if [ "$status" = 0 ]; then passed=$((passed + 1)); continue; fi
  failed=$((failed + 1))
  echo "=== $name: FAILED (exit $status); the end of $(log_of "$name"):"
  tail -n 60 "$(log_of "$name")"
done
echo "=== stage times"
printf '%s' "$times"
echo "  whole run                        $(printf '%5d' "$SECONDS") s"
echo "stages: ${passed} passed, ${failed} failed"
[ "$failed" = 0 ]
