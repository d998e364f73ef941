#!/usr/bin/env bash
# Builds the release halvane.dll and halvane-cli.exe for 64-bit and for 32-bit terminals with
# the given service settings, checks each DLL, and writes a zip with both builds (x64/, x86/),
# the C header, the terminal include files and programs, an install note whose import list is
# read from the built DLLs, the licence and the notices of the statically linked runtime, and
# SHA256SUMS, optionally signing every program with Authenticode first. A package made with
# the public development key says so in its name, its note and each DLL's version resource.
#
#   tools/package.sh --host HOST [--port 443] (--key-file FILE | env HALVANE_SIGNING_KEY)
#                    [--allow-development-key] [--out DIR]
#                    [--sign-pkcs12 FILE [--sign-password-file FILE | env HALVANE_SIGN_PASSWORD]
#                     [--timestamp-url URL]]
#
# The signing key and the PKCS#12 password are read from files or the environment, never
# from the command line (other users can read command lines); the build trees holding the
# key are removed afterwards. The same commit, host, port and key (and signing certificate)
# give the same bytes: every time stored comes from the commit (SOURCE_DATE_EPOCH, else the
# commit's time). Exit status: 0 written, 1 the build or its checks failed, 2 bad usage or
# unusable input (nothing written), 3 the development key without --allow-development-key.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The DLLs in the package: toolchain file, folder inside the package, binutils prefix, and
# which terminals it is for.
dlls=(
  "cmake/mingw-w64-x86_64.cmake|x64|x86_64-w64-mingw32|64-bit terminals (MQL5), with mql5\\"
  "cmake/mingw-w64-i686.cmake|x86|i686-w64-mingw32|32-bit terminals (MQL4), with mql4\\; its functions are __stdcall"
)

host="" port=443 key_file="" allow_dev=0 out="$root/dist"
sign_pkcs12="" sign_password_file="" timestamp_url=""
usage() { sed -n '7,10p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
refuse() { echo "package: $*" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=${2:?}; shift 2 ;;
    --port) port=${2:?}; shift 2 ;;
    --key-file) key_file=${2:?}; shift 2 ;;
    --allow-development-key) allow_dev=1; shift ;;
    --out) out=${2:?}; shift 2 ;;
    --sign-pkcs12) sign_pkcs12=${2:?}; shift 2 ;;
    --sign-password-file) sign_password_file=${2:?}; shift 2 ;;
    --timestamp-url) timestamp_url=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    *) echo "package: unknown argument $1" >&2; usage ;;
  esac
done
[ -n "$host" ] || refuse "--host is required"
if [ -n "$key_file" ]; then
  [ -r "$key_file" ] || refuse "cannot read the key file $key_file"
  key=$(tr -d ' \t\r\n' < "$key_file")
else
  key=${HALVANE_SIGNING_KEY:-}
fi
[ -n "$key" ] || refuse "give the signing key with --key-file FILE or HALVANE_SIGNING_KEY"
key=$(tr 'A-F' 'a-f' <<<"$key")
[[ $key =~ ^[0-9a-f]{64}$ ]] || refuse "the signing key must be 64 hexadecimal digits"
dev_key=$(sed -n 's/^set(HALVANE_DEVELOPMENT_KEY "\([0-9a-f]*\)")$/\1/p' cmake/Provisioning.cmake)
if [ "$key" = "$dev_key" ] && [ $allow_dev -eq 0 ]; then
  echo "package: refusing to package with the public development key (anyone can sign replies with it);" >&2
  echo "         pass --allow-development-key to build such a package for testing anyway" >&2
  exit 3
fi
if [ -z "$sign_pkcs12" ] && { [ -n "$sign_password_file" ] || [ -n "$timestamp_url" ]; }; then
  refuse "--sign-password-file and --timestamp-url belong to --sign-pkcs12"
fi

# ---- Authenticode signing: the certificate is checked before anything is built ----
sign_password=""
# openssl pkcs12 on the signing file; the password goes through a pipe, never a file.
pkcs12() { openssl pkcs12 -in "$sign_pkcs12" -passin fd:3 "$@" 3< <(printf '%s\n' "$sign_password"); }
if [ -n "$sign_pkcs12" ]; then
  [ -f "$sign_pkcs12" ] && [ -r "$sign_pkcs12" ] || refuse "cannot read the PKCS#12 file $sign_pkcs12"
  if [ -n "$sign_password_file" ]; then
    [ -f "$sign_password_file" ] && [ -r "$sign_password_file" ] ||
      refuse "cannot read the password file $sign_password_file"
    sign_password=$(cat "$sign_password_file")
  else
    sign_password=${HALVANE_SIGN_PASSWORD:-}
  fi
  signer=$(pkcs12 -nokeys -clcerts 2>/dev/null) && [ -n "$signer" ] ||
    refuse "cannot open $sign_pkcs12: wrong password (give it with --sign-password-file FILE or HALVANE_SIGN_PASSWORD), or not a PKCS#12 file"
  bags=$(pkcs12 -info -noout 2>&1 || true)
  [[ $bags == *Keybag* ]] || refuse "$sign_pkcs12 holds no private key"
  key_usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$signer" 2>/dev/null || true)
  [[ $key_usage == *"Code Signing"* ]] ||
    refuse "the certificate in $sign_pkcs12 is not for code signing (its extended key usage lacks Code Signing)"
  openssl x509 -noout -checkend 0 <<<"$signer" >/dev/null || refuse "the certificate in $sign_pkcs12 has expired"
  signer_subject=$(openssl x509 -noout -subject -nameopt oneline <<<"$signer" | sed 's/^subject= *//')
  signer_until=$(openssl x509 -noout -enddate <<<"$signer" | sed 's/^notAfter=//')
fi

# ---- Times from the commit, so that two runs store the same bytes ----
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] && [ "$epoch" -ge 315532800 ] ||
  refuse "not a git checkout: set SOURCE_DATE_EPOCH to the release's time (seconds since 1970, 1980 or later)"
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null || true)" ]; then
  echo "package: warning: the working tree has uncommitted changes; this package cannot be rebuilt from its commit" >&2
fi
export SOURCE_DATE_EPOCH=$epoch TZ=UTC LC_ALL=C

bash tools/install-deps.sh >/dev/null
version=$(sed -n 's/^project(halvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="halvane-$version-windows"
[ "$key" != "$dev_key" ] || name+="-development-key"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 2' INT TERM HUP
package="$work/stage/$name"
mkdir -p "$package"
dll_lines="" import_lines="" runtime_packages=()

for entry in "${dlls[@]}"; do
  IFS='|' read -r toolchain folder tools terminals <<<"$entry"
  build="$work/build-$folder"
  echo "package: building $folder/halvane.dll $version for $host:$port"
  # No build or source path may reach the binary: both are mapped to fixed names.
  flags="-ffile-prefix-map=$build=build -ffile-prefix-map=$root=halvane"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DHALVANE_BUILD_TESTS=OFF -DHALVANE_WERROR=ON \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DHALVANE_SERVICE_HOST="$host" -DHALVANE_SERVICE_PORT="$port" -DHALVANE_SIGNING_KEY="$key" >/dev/null
  cmake --build "$build" --target halvane halvane-cli >/dev/null
  dll="$build/halvane.dll" cli="$build/halvane-cli.exe"
  check=(python3 tests/checks/check_binary.py --objdump "$tools-objdump" --key "$key" --machine "${tools%%-*}")
  # Checked with its symbols, then again as shipped.
  "${check[@]}" --library "$dll" >/dev/null ||
    { echo "package: $folder/halvane.dll failed its export, import, convention or key checks" >&2; exit 1; }
  "$tools-strip" --strip-unneeded "$dll" "$cli"
  if [ -n "$sign_pkcs12" ]; then
    for program in "$dll" "$cli"; do
      osslsigncode sign -pkcs12 "$sign_pkcs12" -readpass /dev/fd/3 -h sha256 -n "halvane $version" \
        -time "$epoch" ${timestamp_url:+-ts "$timestamp_url"} -in "$program" -out "$program.signed" \
        3< <(printf '%s' "$sign_password") >/dev/null ||
        { echo "package: signing $folder/${program##*/} failed" >&2; exit 2; }
      mv "$program.signed" "$program"
    done
  fi
  "${check[@]}" --library "$dll" >/dev/null ||
    { echo "package: $folder/halvane.dll failed its export, import, convention or key checks" >&2; exit 1; }
  mkdir -p "$package/$folder"
  cp "$dll" "$cli" "$package/$folder/"
  dll_lines+="  $folder\\halvane.dll  for $terminals"$'\n'
  # What the note says the DLL needs is what the built DLL imports.
  import_lines+="  $folder\\halvane.dll: $("$tools-objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    sort -f | paste -sd, - | sed 's/,/, /g')"$'\n'
  # The packages whose runtime is linked in statically, for their notices.
  for part in libstdc++.a libgcc.a libwinpthread.a crt2.o; do
    runtime_packages+=("$(dpkg -S "$(realpath "$("$tools-g++-posix" -print-file-name=$part)")" | cut -d: -f1)")
  done
done
sign_password=""

mkdir -p "$package/include" "$package/mql5" "$package/mql4"
cp include/halvane.h "$package/include/"
cp examples/mql5/*.mqh examples/mql5/*.mq5 "$package/mql5/"
cp examples/mql4/*.mqh examples/mql4/*.mq4 "$package/mql4/"
cp LICENSE "$package/LICENSE.txt"
# The notices of each package (each text once) whose runtime the programs link statically.
{
  echo "The programs in this package link parts of the MinGW-w64 runtime (its C start-up code and"
  echo "winpthreads) and of GCC's runtime (libgcc, libstdc++, under the GCC Runtime Library"
  echo "Exception) into themselves. Their copyright and licence notices follow, as their packages"
  echo "carry them."
  declare -A seen=()
  for pkg in $(printf '%s\n' "${runtime_packages[@]}" | sort -u); do
    notice=/usr/share/doc/$pkg/copyright
    [ -r "$notice" ] || { echo "package: no copyright notice for $pkg ($notice)" >&2; exit 1; }
    digest=$(sha256sum < "$notice")
    [ -z "${seen[$digest]:-}" ] || continue
    seen[$digest]=1
    printf '\n\n==== %s ====\n\n' "$pkg"
    cat "$notice"
  done
} > "$package/THIRD-PARTY-NOTICES.txt"
if [ "$key" = "$dev_key" ]; then
  development="
BUILT WITH THE PUBLIC DEVELOPMENT KEY, for testing only: anyone can sign replies that these
DLLs accept. Never give this package to traders.
"
else
  development=""
fi
if [ -z "$sign_pkcs12" ]; then
  signature="The DLLs and halvane-cli.exe are not signed."
elif [ -z "$timestamp_url" ]; then
  signature="Each DLL and halvane-cli.exe is signed with Authenticode by $signer_subject. The
signature carries no timestamp: it stops verifying when that certificate expires ($signer_until)."
else
  signature="Each DLL and halvane-cli.exe is signed with Authenticode by $signer_subject,
timestamped by $timestamp_url: the signature stays valid after the certificate expires
($signer_until)."
fi
cat > "$package/INSTALL.txt" <<NOTE
halvane $version for Windows, for the service at $host:$port.
$development
Two builds of the same module: take the one that matches the terminal.
${dll_lines}
Each folder also holds halvane-cli.exe, for the support desk (below).

The terminal's data folder is the one File > Open Data Folder opens in the terminal; the
folders below are inside it.

1. 64-bit terminals: copy x64\\halvane.dll into MQL5\\Libraries, mql5\\Halvane.mqh into
   MQL5\\Include, HalvaneDay.mq5 and HalvaneSelfTest.mq5 into MQL5\\Scripts and
   HalvaneGuard.mq5 into MQL5\\Experts.
2. 32-bit terminals: copy x86\\halvane.dll into MQL4\\Libraries, mql4\\Halvane.mqh into
   MQL4\\Include, HalvaneDay.mq4 and HalvaneSelfTest.mq4 into MQL4\\Scripts and
   HalvaneGuard.mq4 into MQL4\\Experts.
   The programs include the file as #include <Halvane.mqh>, from the Include folder.
3. Allow DLL imports twice: in the terminal (Tools > Options > Expert Advisors > Allow DLL
   imports) and for each program when it starts (its Dependencies or Common tab).
   A 64-bit terminal cannot load the x86 DLL, nor a 32-bit one the x64 DLL: Windows refuses
   it with error 193 (ERROR_BAD_EXE_FORMAT) and the terminal's journal says that halvane.dll
   cannot be loaded. Take the other folder.
4. Run HalvaneSelfTest first: it calls no export and prints "N passed, 0 failed". Then
   HalvaneDay walks the day (quiz, answers, verdict, trading-day mark), and HalvaneGuard on
   one chart holds trading to the day's verdict.
5. Call the module from an expert advisor's timer or a script, never from an indicator or on
   every tick: each call blocks its thread for one HTTPS exchange, 65 s at the very most
   (15 s each for name resolution, connect and sending, 20 s for the whole reply). The day
   is the UTC day.
6. Size result buffers as Halvane.mqh does: a result that does not fit is never cut, the
   module answers ERROR instead. Halvane.mqh's quiz buffer holds any quiz the module passes on.

When a call gives ERROR, run beside the terminal's DLL, as the trader's Windows user:
  halvane-cli.exe check
It says in one line whether the service can be reached and, if not, why (no key is needed).
  halvane-cli.exe --trace status --key KEY --account ACCOUNT
shows one call step by step. halvane-cli.exe --help lists the exit codes.

Each DLL imports only these DLLs, all part of Windows, and reads the current user's proxy
settings and nothing else:
${import_lines}C/C++ callers: include/halvane.h (it declares the 32-bit functions __stdcall).

$signature
LICENSE.txt is the module's licence; THIRD-PARTY-NOTICES.txt holds the notices of the runtime
parts linked into the programs.
SHA256SUMS lists the SHA-256 of every other file here (check with: sha256sum -c SHA256SUMS).
NOTE

# Fixed modes and times, a fixed order, no extra attributes: the same files give the same zip.
(
  cd "$package"
  find . -type f | sed 's|^\./||' | sort | xargs sha256sum > ../SHA256SUMS
  mv ../SHA256SUMS SHA256SUMS
  cd ..
  find "$name" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
  find "$name" -exec touch -h -d "@$epoch" {} +
  find "$name" -type f | sort | zip -X -D -q "$work/$name.zip" -@
)
mkdir -p "$out"
mv -f "$work/$name.zip" "$out/$name.zip"
echo "package: wrote $out/$name.zip"
echo "package: SHA-256 $(sha256sum "$out/$name.zip" | cut -d' ' -f1)"
