#!/usr/bin/env bash
# Builds the release halvane.dll for 64-bit and for 32-bit terminals with the given service
# settings, checks each, and writes a zip with both DLLs (x64/, x86/), the C header, the
# terminal include files, the example scripts and an install note.
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
usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
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

name="halvane-$version-windows"

# build_dll FOLDER TRIPLE: builds, checks and stages halvane.dll for one architecture
# (x64: x86_64-w64-mingw32, x86: i686-w64-mingw32) into FOLDER of the package.
build_dll() {
  local folder=$1 triple=$2 dir="$build/$1"
  local toolchain="$root/cmake/mingw-w64-${triple%%-*}.cmake"
  local check=(python3 tests/checks/check_binary.py --objdump "$triple-objdump" --key "$key" --machine "${triple%%-*}")
  echo "package: building the $folder halvane.dll $version for $host:$port"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DHALVANE_BUILD_TESTS=OFF -DHALVANE_WERROR=ON \
    -DHALVANE_SERVICE_HOST="$host" -DHALVANE_SERVICE_PORT="$port" -DHALVANE_SIGNING_KEY="$key" >/dev/null
  cmake --build "$dir" --target halvane >/dev/null
  # Checked with its symbols, then again as shipped.
  "${check[@]}" --library "$dir/halvane.dll" >/dev/null &&
    "$triple-strip" --strip-unneeded "$dir/halvane.dll" && "${check[@]}" --library "$dir/halvane.dll" >/dev/null ||
    { echo "package: the $folder DLL failed its export, import, convention or key checks" >&2; exit 1; }
  mkdir -p "$stage/$name/$folder"
  cp "$dir/halvane.dll" "$stage/$name/$folder/"
}
build_dll x64 x86_64-w64-mingw32
build_dll x86 i686-w64-mingw32

mkdir -p "$stage/$name/include" "$stage/$name/mql5" "$stage/$name/mql4"
cp include/halvane.h "$stage/$name/include/"
cp examples/mql5/Halvane.mqh examples/mql5/HalvaneDay.mq5 "$stage/$name/mql5/"
cp examples/mql4/Halvane.mqh examples/mql4/HalvaneDay.mq4 "$stage/$name/mql4/"
cat > "$stage/$name/INSTALL.txt" <<NOTE
halvane $version for Windows, for the service at $host:$port.

Two builds of the same module: take the one that matches the terminal.
  x64\\halvane.dll  for 64-bit terminals (MQL5), with mql5\\
  x86\\halvane.dll  for 32-bit terminals (MQL4), with mql4\\; its functions are __stdcall

1. 64-bit terminals: copy x64\\halvane.dll into the terminal's MQL5\\Libraries folder, and
   mql5\\Halvane.mqh into MQL5\\Include and mql5\\HalvaneDay.mq5 into MQL5\\Scripts.
2. 32-bit terminals: copy x86\\halvane.dll into the terminal's MQL4\\Libraries folder, and
   mql4\\Halvane.mqh into MQL4\\Include and mql4\\HalvaneDay.mq4 into MQL4\\Scripts.
3. Allow DLL imports for the expert or script that uses the module.
4. Call the module from an expert advisor or a script, never from an indicator: each call
   blocks its thread for one HTTPS exchange (up to 15 s per connection phase, 20 s for the
   reply).
5. Size result buffers as Halvane.mqh does: a result that does not fit is never cut, the
   module answers ERROR instead. The daily quiz needs room for the whole quiz reply.

Each DLL imports only KERNEL32, WINHTTP, bcrypt and the C runtime; it reads the current
user's proxy settings and nothing else. C/C++ callers: include/halvane.h (it declares the
32-bit functions __stdcall).
NOTE
mkdir -p "$out"
rm -f "$out/$name.zip"
(cd "$stage" && zip -qr "$out/$name.zip" "$name")
echo "package: wrote $out/$name.zip"
