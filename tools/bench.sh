#!/usr/bin/env bash
# Builds the bench preset (Release) and runs the micro benchmarks, then the end-to-end
# program against the reference service on the preset's compiled-in port (18447); then
# builds the bench-windows (x86-64) and bench-windows-x86 (32-bit) presets (MinGW-w64) and
# runs their end-to-end programs under Wine on ports 18448 and 18450.
#
#   tools/bench.sh
#   BENCH_FILTER=REGEX   only these micro benchmarks (Google Benchmark filter)
#   BENCH_CALLS=N        sequential calls of each kind (default 1000)
#   BENCH_SECONDS=S      seconds per throughput run (default 5)
#   BENCH_THREADS=LIST   thread counts for the throughput runs (default 1,4,16)
#   BENCH_SKIP_E2E=1     micro benchmarks only
#   BENCH_SKIP_WINDOWS=1 native build only
#   BENCH_SKIP_NATIVE=1  Windows builds only
#   BENCH_QUICKACK=1     run the whole script (as root) in a private network namespace
#                        whose loopback routes carry quickack 1: no delayed-ACK stall
#                        (about 42 ms per exchange under Wine, whose WinHTTP sends the
#                        request head and body apart on a socket without TCP_NODELAY)
#
# Results also go to build/bench/results/ (micro.json, exports_silent_trace.json, e2e.txt),
# and build/bench-windows{,-x86}/results/e2e.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${BENCH_QUICKACK:-0}" = 1 ] && [ "${BENCH_IN_QUICKACK_NETNS:-0}" != 1 ]; then
  # localhost is 127.0.0.1 only (/etc/hosts), and the service binds 127.0.0.1.
  exec env BENCH_IN_QUICKACK_NETNS=1 unshare -n bash -c '
    set -e
    ip link set lo up
    for dst in 127.0.0.0/8 127.0.0.1; do
      ip route change local "$dst" dev lo table local proto kernel scope host src 127.0.0.1 quickack 1
    done
    echo "=== bench: private network namespace, loopback routes:"
    ip route show table local
    exec "$0" "$@"' "$PWD/tools/bench.sh" "$@"
fi

e2e_args=(--calls "${BENCH_CALLS:-1000}" --seconds "${BENCH_SECONDS:-5}" --threads "${BENCH_THREADS:-1,4,16}")

# The service binds with SO_REUSEADDR, so the check does too.
port_free() {
  if ! python3 -c "import socket; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', $1))" 2>/dev/null; then
    echo "bench: port $1 is taken; the module of this preset talks to no other" >&2
    exit 1
  fi
}

if [ "${BENCH_SKIP_NATIVE:-0}" != 1 ]; then
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

  port_free "$port"
  echo "=== bench: end to end against the reference service on port $port"
  python3 tests/e2e/with_service.py --certs "$PWD/$build/certs" --port "$port" \
    --script bench/data/e2e_cases.json --service-arg=--quiet -- \
    "$build/e2e_bench" "${e2e_args[@]}" | tee "$build/results/e2e.txt"
fi

if [ "${BENCH_SKIP_WINDOWS:-0}" = 1 ]; then exit 0; fi

# The Windows builds: the same program on WinHTTP, run under Wine (cmake/wine-run.sh picks
# the 32-bit loader for a 32-bit program) in each build tree's own prefix, whose user Root
# store gets the test CA (certificate checks stay on).
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
prefixes=()
trap 'for p in "${prefixes[@]}"; do WINEPREFIX="$p" "$wineserver" -k 2>/dev/null || true; done' EXIT

# bench_windows PRESET PORT
bench_windows() {
  local preset=$1 win_port=$2
  local win_build=build/$preset
  local wineprefix=$PWD/$win_build/wineprefix

  echo "=== bench: configure and build $preset (MinGW-w64)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  mkdir -p "$win_build/results"
  bash service/make_test_certs.sh "$PWD/$win_build/certs" >/dev/null

  port_free "$win_port"
  prefixes+=("$wineprefix")
  # A fresh Wine server for this prefix, started inside this script's network namespace
  # (Wine's server makes the program's sockets).
  WINEPREFIX="$wineprefix" "$wineserver" -k 2>/dev/null || true
  echo "=== bench: trust the test CA in $wineprefix"
  HALVANE_WINEPREFIX="$wineprefix" bash cmake/wine-trust.sh "$win_build/install_test_ca.exe" "$PWD/$win_build/certs/ca.der"

  echo "=== bench: $preset under Wine, end to end against the reference service on port $win_port"
  HALVANE_WINEPREFIX="$wineprefix" python3 tests/e2e/with_service.py --certs "$PWD/$win_build/certs" \
    --port "$win_port" --script bench/data/e2e_cases.json --service-arg=--quiet -- \
    cmake/wine-run.sh "$win_build/e2e_bench.exe" "${e2e_args[@]}" | tee "$win_build/results/e2e.txt"
  WINEPREFIX="$wineprefix" "$wineserver" -k 2>/dev/null || true
}

bench_windows bench-windows 18448
bench_windows bench-windows-x86 18450
