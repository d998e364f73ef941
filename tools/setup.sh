#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: installs what is needed, builds halvane.dll for
# 64-bit and 32-bit Windows (MinGW-w64) and libhalvane.so (native), and prints what each
# exports and imports.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
for preset in windows windows-x86 linux; do
  echo "=== building ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target halvane
done

for preset in windows windows-x86; do
  echo
  echo "=== build/$preset/halvane.dll"
  dump=$(objdump -p "build/$preset/halvane.dll")
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/^\t\[/ {print "  exports " $NF}'
  awk '/DLL Name:/ {print "  imports " $3}' <<<"$dump"
done
echo
echo "=== build/linux/libhalvane.so"
nm -D --defined-only build/linux/libhalvane.so | awk '{print "  exports " $3}'
readelf -d build/linux/libhalvane.so | awk '/NEEDED/ {gsub(/[][]/, "", $5); print "  needs   " $5}'
