#!/usr/bin/env bash
# Builds every preset and runs every test: natively, under the sanitizers, and the Windows
# build (64-bit and 32-bit) under Wine. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
presets=(${HALVANE_PRESETS:-linux linux-asan windows windows-x86})
status=0
passed=0 failed=0
stage() {  # stage NAME COMMAND...: runs one stage of the run and counts it
  local name=$1; shift
  echo "=== ${name}"
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; echo "=== ${name}: FAILED"; fi
}
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
for preset in "${presets[@]}"; do
  stage "${preset}: test" ctest --preset "$preset"
done
# The fuzz targets, a bounded run each; the benchmarks must at least build.
if [ -z "${HALVANE_SKIP_FUZZ:-}" ]; then
  stage "fuzz" bash tools/fuzz.sh "${HALVANE_FUZZ_SECONDS:-60}"
fi
stage "bench: build" bash -c 'cmake --preset bench >/dev/null && cmake --build --preset bench'

# The main job is part of the tests: if the demo breaks, the run fails.
if [ -z "${HALVANE_SKIP_DEMO:-}" ]; then
  stage "demo" bash tools/demo.sh
fi
echo "stages: ${passed} passed, ${failed} failed"
exit $status
