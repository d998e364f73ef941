#!/usr/bin/env bash
# Builds every preset and runs every test: natively, under the sanitizers, and the Windows
# build under Wine. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
presets=(${HALVANE_PRESETS:-linux linux-asan windows})
status=0
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
for preset in "${presets[@]}"; do
  echo "=== ${preset}: test"
  ctest --preset "$preset" || status=1
done
# The fuzz targets, a bounded run each; the benchmarks must at least build.
if [ -z "${HALVANE_SKIP_FUZZ:-}" ]; then
  echo "=== fuzz"
  bash tools/fuzz.sh "${HALVANE_FUZZ_SECONDS:-60}" || status=1
fi
echo "=== bench: build"
cmake --preset bench >/dev/null && cmake --build --preset bench || status=1
# The main job is part of the tests: if the demo breaks, the run fails.
if [ -z "${HALVANE_SKIP_DEMO:-}" ]; then
  echo "=== demo"
  bash tools/demo.sh || status=1
fi
exit $status
