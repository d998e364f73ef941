#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: installs what is needed, builds halvane.dll
# (MinGW-w64) and libhalvane.so (native), and prints what each exports and imports.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
for preset in windows linux; do
  echo "=== building ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target halvane
done

echo
echo "=== build/windows/halvane.dll"
dump=$(x86_64-w64-mingw32-objdump -p build/windows/halvane.dll)
sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/^\t\[/ {print "  exports " $NF}'
awk '/DLL Name:/ {print "  imports " $3}' <<<"$dump"
echo
echo "=== build/linux/libhalvane.so"
nm -D --defined-only build/linux/libhalvane.so | awk '{print "  exports " $3}'
readelf -d build/linux/libhalvane.so | awk '/NEEDED/ {gsub(/[][]/, "", $5); print "  needs   " $5}'
