#!/usr/bin/env bash
# Builds the bench preset (Release) and runs the micro benchmarks, then the end-to-end
# program against the reference service on the preset's compiled-in port (18447).
#
#   tools/bench.sh
#   BENCH_FILTER=REGEX   only these micro benchmarks (Google Benchmark filter)
#   BENCH_CALLS=N        sequential calls of each kind (default 1000)
#   BENCH_SECONDS=S      seconds per throughput run (default 5)
#   BENCH_THREADS=LIST   thread counts for the throughput runs (default 1,4,16)
#   BENCH_SKIP_E2E=1     micro benchmarks only
#
# Results also go to build/bench/results/ (micro.json, exports_silent_trace.json, e2e.txt).
set -euo pipefail
cd "$(dirname "$0")/.."

port=18447
build=build/bench

echo "=== bench: configure and build"
cmake --preset bench >/dev/null
cmake --build --preset bench -j2
mkdir -p "$build/results"

echo "=== bench: micro benchmarks"
"$build/halvane_bench" --benchmark_filter="${BENCH_FILTER:-.}" \
  --benchmark_out="$build/results/micro.json" --benchmark_out_format=json

echo "=== bench: the exports again, trace lines dropped (the CPU path without the log channel)"
"$build/halvane_bench_silent_trace" --benchmark_filter="${BENCH_FILTER:-.}" \
  --benchmark_out="$build/results/exports_silent_trace.json" --benchmark_out_format=json

if [ "${BENCH_SKIP_E2E:-0}" = 1 ]; then exit 0; fi

certs=$PWD/$build/certs
e2e_args=(--seconds "${BENCH_SECONDS:-5}" --threads "${BENCH_THREADS:-1,4,16}")

# The service binds with SO_REUSEADDR, so the check does too.
if ! python3 -c "import socket; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', $port))" 2>/dev/null; then
  echo "bench: port $port is taken; the module of this preset talks to no other" >&2
  exit 1
fi

echo "=== bench: end to end against the reference service on port $port"
python3 tests/e2e/with_service.py --certs "$certs" --port "$port" \
  --script bench/data/e2e_cases.json --service-arg=--quiet -- \
  "$build/e2e_bench" --calls "${BENCH_CALLS:-1000}" "${e2e_args[@]}" | tee "$build/results/e2e.txt"
