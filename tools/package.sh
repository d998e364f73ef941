#!/usr/bin/env bash
# Builds a release halvane.dll with the given service settings and writes a zip with the DLL,
# the C header, the terminal include file, the example script and an install note.
#
#   tools/package.sh --host HOST [--port 443] (--key-file FILE | env HALVANE_SIGNING_KEY)
#                    [--allow-development-key] [--out DIR]
#
# The key is read from a file or the environment, never from the command line (other users
# can read command lines). The build tree holding the key is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

host="" port=443 key_file="" allow_dev=0 out="$root/dist"
usage() { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=${2:?}; shift 2 ;;
    --port) port=${2:?}; shift 2 ;;
    --key-file) key_file=${2:?}; shift 2 ;;
    --allow-development-key) allow_dev=1; shift ;;
    --out) out=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    *) echo "package: unknown argument $1" >&2; usage ;;
  esac
done
[ -n "$host" ] || { echo "package: --host is required" >&2; exit 2; }
if [ -n "$key_file" ]; then
  key=$(tr -d ' \t\r\n' < "$key_file")
else
  key=${HALVANE_SIGNING_KEY:-}
fi
[ -n "$key" ] || { echo "package: give the signing key with --key-file FILE or HALVANE_SIGNING_KEY" >&2; exit 2; }
key=$(tr 'A-F' 'a-f' <<<"$key")
[[ $key =~ ^[0-9a-f]{64}$ ]] || { echo "package: the signing key must be 64 hexadecimal digits" >&2; exit 2; }
dev_key=$(sed -n 's/^set(HALVANE_DEVELOPMENT_KEY "\([0-9a-f]*\)")$/\1/p' cmake/Provisioning.cmake)
if [ "$key" = "$dev_key" ] && [ $allow_dev -eq 0 ]; then
  echo "package: refusing to package with the public development key (anyone can sign replies with it);" >&2
  echo "         pass --allow-development-key to build such a package for testing anyway" >&2
  exit 3
fi

bash tools/install-deps.sh >/dev/null
version=$(sed -n 's/^project(halvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build=$(mktemp -d)
stage=$(mktemp -d)
trap 'rm -rf "$build" "$stage"' EXIT

echo "package: building halvane.dll $version for $host:$port"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DHALVANE_BUILD_TESTS=OFF -DHALVANE_WERROR=ON \
  -DHALVANE_SERVICE_HOST="$host" -DHALVANE_SERVICE_PORT="$port" -DHALVANE_SIGNING_KEY="$key" >/dev/null
cmake --build "$build" --target halvane >/dev/null
x86_64-w64-mingw32-strip --strip-unneeded "$build/halvane.dll"
python3 tests/checks/check_binary.py --library "$build/halvane.dll" --objdump x86_64-w64-mingw32-objdump --key "$key" >/dev/null ||
  { echo "package: the built DLL failed its export, import or key checks" >&2; exit 1; }

name="halvane-$version-win64"
mkdir -p "$stage/$name/include" "$stage/$name/mql5"
cp "$build/halvane.dll" "$stage/$name/"
cp include/halvane.h "$stage/$name/include/"
cp examples/mql5/Halvane.mqh examples/mql5/HalvaneDay.mq5 "$stage/$name/mql5/"
cat > "$stage/$name/INSTALL.txt" <<NOTE
halvane $version for 64-bit Windows, for the service at $host:$port.

1. Copy halvane.dll into the terminal's MQL5\\Libraries folder.
2. Copy mql5\\Halvane.mqh into MQL5\\Include and mql5\\HalvaneDay.mq5 into MQL5\\Scripts.
3. Allow DLL imports for the expert or script that uses the module.
4. Call the module from an expert advisor or a script, never from an indicator: each call
   blocks its thread for one HTTPS exchange (up to 15 s per connection phase, 20 s for the
   reply).
5. Size result buffers as Halvane.mqh does: a result that does not fit is never cut, the
   module answers ERROR instead. The daily quiz needs room for the whole quiz reply.

The DLL imports only KERNEL32, WINHTTP, bcrypt and the C runtime; it reads the current
user's proxy settings and nothing else. C/C++ callers: include/halvane.h.
NOTE
mkdir -p "$out"
rm -f "$out/$name.zip"
(cd "$stage" && zip -qr "$out/$name.zip" "$name")
echo "package: wrote $out/$name.zip"
