#!/usr/bin/env bash
# tools/package.sh: refuses the development key, and builds a zip whose two DLLs (x64/, x86/)
# are built for their machines and carry the given settings' key only in masked form.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

dev=$(sed -n 's/^set(HALVANE_DEVELOPMENT_KEY "\([0-9a-f]*\)")$/\1/p' "$root/cmake/Provisioning.cmake")
printf '%s\n' "$dev" > "$work/dev.key"
set +e
bash "$root/tools/package.sh" --host service.example --key-file "$work/dev.key" --out "$work/dist" 2>"$work/err"
rc=$?
set -e
[ $rc -eq 3 ] || fail "the development key was not refused (exit $rc)"
grep -q "development key" "$work/err" || fail "the refusal does not say why"
[ ! -e "$work/dist" ] || fail "something was written despite the refusal"

key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
printf '%s\n' "$key" > "$work/real.key"
bash "$root/tools/package.sh" --host service.example --port 8443 --key-file "$work/real.key" --out "$work/dist" >/dev/null
zip=$(ls "$work"/dist/halvane-*-windows.zip)
listing=$(unzip -Z1 "$zip")
for entry in x64/halvane.dll x86/halvane.dll include/halvane.h mql5/Halvane.mqh mql5/HalvaneDay.mq5 \
             mql4/Halvane.mqh mql4/HalvaneDay.mq4 INSTALL.txt; do
  grep -q "/$entry\$" <<<"$listing" || fail "the zip lacks $entry"
done
unzip -q "$zip" -d "$work/unpacked"
grep -q "service.example:8443" "$work"/unpacked/*/INSTALL.txt || fail "the install note does not name the service"
for folder in x64:x86_64 x86:i686; do
  dll=$(ls "$work"/unpacked/*/"${folder%:*}"/halvane.dll)
  python3 "$root/tests/checks/check_binary.py" --library "$dll" --objdump "${folder#*:}-w64-mingw32-objdump" \
    --machine "${folder#*:}" --key "$key" >/dev/null || fail "the packaged ${folder%:*} DLL failed its checks"
  iconv -f utf-16le -t utf-8 < "$dll" 2>/dev/null | grep -q "service.example" || strings -el "$dll" | grep -q "service.example" ||
    fail "the ${folder%:*} DLL does not carry the service host"
  grep -q "${folder%:*}\\\\halvane.dll" "$work"/unpacked/*/INSTALL.txt || fail "the install note does not place the ${folder%:*} DLL"
done

if [ $failed -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $failed
