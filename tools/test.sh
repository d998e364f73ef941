#!/usr/bin/env bash
# Builds every preset and runs every test: natively, under the sanitizers, and the Windows
# build (64-bit and 32-bit) under Wine, after a check that the sources follow .clang-format;
# then a bounded run of every fuzz target, a build of the benchmarks and the demo. Each build and each test run is a stage; a failed stage fails
# the run, the others still run, and the last line counts them. Exits non-zero when anything
# fails.
#
# Settings (environment), for a shorter loop by hand; CI sets none of them:
#   HALVANE_PRESETS="linux windows"  the presets to build and test (default: all four)
#   HALVANE_FUZZ_SECONDS=N           seconds per fuzz target (default 60)
#   HALVANE_SKIP_FUZZ=1              no fuzz stage
#   HALVANE_SKIP_DEMO=1              no demo stage
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
presets=(${HALVANE_PRESETS:-linux linux-asan windows windows-x86})
status=0
passed=0 failed=0
stage() {  # stage NAME COMMAND...: runs one stage of the run and counts it
  local name=$1; shift
  echo "=== ${name}"
  if "$@"; then passed=$((passed + 1)); return 0; fi
  failed=$((failed + 1)); status=1; echo "=== ${name}: FAILED"
  return 1
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }
# The sources follow .clang-format.
stage "format" bash tools/check-format.sh || true
for preset in "${presets[@]}"; do
  stage "${preset}: build" build "$preset" || true
done
for preset in "${presets[@]}"; do
  stage "${preset}: test" ctest --preset "$preset" || true
done
if [ -z "${HALVANE_SKIP_FUZZ:-}" ]; then
  stage "fuzz" bash tools/fuzz.sh "${HALVANE_FUZZ_SECONDS:-60}" || true
fi
# The benchmarks must at least build; tools/bench.sh runs them.
stage "bench: build" build bench || true

# The main job is part of the tests: if the demo breaks, the run fails.
if [ -z "${HALVANE_SKIP_DEMO:-}" ]; then
  stage "demo" bash tools/demo.sh || true
fi
echo "stages: ${passed} passed, ${failed} failed"
exit $status
