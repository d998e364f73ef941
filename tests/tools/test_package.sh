#!/usr/bin/env bash
# tools/package.sh: refuses the development key (unless allowed) and unusable signing
# certificates, writing nothing and leaving nothing behind; builds a zip whose two DLLs (x64/,
# x86/) are built for their machines and carry the given settings' key only in masked form,
# each with halvane-cli.exe beside it, whose terminal files pass the include check in the
# layout the install note gives, whose note lists the DLLs' real imports, with the licence, the
# runtime's notices and checksums of its files; two runs give the same bytes; a signed package
# (made with the development key, which its name, note and version resource then say)
# verifies against its CA, a tampered copy does not, and its CLI runs the DLL beside it.
#
# usage: test_package.sh   (the Windows programs run through cmake/wine-run.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset HALVANE_SIGN_PASSWORD HALVANE_SIGNING_KEY
passed=0 failed=0
check() {  # check WHAT COMMAND...: one case, passed when COMMAND succeeds
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
# Every run's temporary files go here: after the runs nothing may be left, the key included.
mkdir "$work/tmp"
package() { TMPDIR="$work/tmp" bash "$root/tools/package.sh" "$@"; }
unpack() { rm -rf "$2" && unzip -q "$1" -d "$2" && echo "$2"/halvane-*-windows*; }

# A throwaway code-signing CA with one code-signing and one TLS-server certificate.
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=halvane test code CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
  for use in codeSigning serverAuth; do
    openssl req -newkey rsa:2048 -nodes -keyout $use.key -out $use.csr -subj "/CN=halvane test $use" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' $use > $use.ext
    openssl x509 -req -in $use.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile $use.ext -out $use.pem 2>/dev/null
    openssl pkcs12 -export -inkey $use.key -in $use.pem -certfile ca.pem -passout pass:"test pass" -out $use.p12
  done
  printf 'test pass\n' > pass.txt
  printf 'not it\n' > wrong.txt
)
key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
printf '%s\n' "$key" > "$work/real.key"
sed -n 's/^set(HALVANE_DEVELOPMENT_KEY "\([0-9a-f]*\)")$/\1/p' "$root/cmake/Provisioning.cmake" > "$work/dev.key"

# Refusals, before anything is built: exit status, what the message says, then the options.
while IFS='|' read -r code says options; do
  set +e
  package --host service.example --out "$work/dist" $options 2>"$work/err" >/dev/null
  rc=$?
  set -e
  check "'$options' exits $code (got $rc)" [ $rc -eq "$code" ]
  check "'$options' says '$says'" grep -q "$says" "$work/err"
  check "'$options' writes nothing" [ ! -e "$work/dist" ]
done <<CASES
3|public development key|--key-file $work/dev.key
2|cannot read the PKCS#12 file|--key-file $work/real.key --sign-pkcs12 $work/missing.p12
2|wrong password|--key-file $work/real.key --sign-pkcs12 $work/codeSigning.p12 --sign-password-file $work/wrong.txt
2|wrong password|--key-file $work/real.key --sign-pkcs12 $work/codeSigning.p12
2|not for code signing|--key-file $work/real.key --sign-pkcs12 $work/serverAuth.p12 --sign-password-file $work/pass.txt
2|cannot read the password file|--key-file $work/real.key --sign-pkcs12 $work/codeSigning.p12 --sign-password-file $work/none.txt
CASES

# Unsigned, twice: the same bytes.
for run in 1 2; do
  package --host service.example --port 8443 --key-file "$work/real.key" --out "$work/dist$run" >/dev/null 2>&1
done
zip=$(ls "$work"/dist1/halvane-*-windows.zip)
check "two packages of one commit are byte-identical" cmp "$zip" "$work/dist2/$(basename "$zip")"
listing=$(unzip -Z1 "$zip")
check "a package with a real key is not named for the development key" \
  bash -c '[[ $1 == halvane-*-windows.zip ]]' _ "$(ls "$work/dist1")"
for entry in x64/halvane.dll x86/halvane.dll x64/halvane-cli.exe x86/halvane-cli.exe include/halvane.h \
             mql5/Halvane.mqh mql5/HalvaneDay.mq5 mql5/HalvaneGuard.mq5 mql5/HalvaneSelfTest.mq5 \
             mql4/Halvane.mqh mql4/HalvaneDay.mq4 mql4/HalvaneGuard.mq4 mql4/HalvaneSelfTest.mq4 \
             INSTALL.txt LICENSE.txt THIRD-PARTY-NOTICES.txt SHA256SUMS; do
  check "the zip holds $entry" grep -q "/$entry\$" <<<"$listing"
done
check "the zip's entries are in a fixed order" [ "$listing" = "$(LC_ALL=C sort <<<"$listing")" ]
dir=$(unpack "$zip" "$work/unpacked")
check "the install note names the service" grep -q "service.example:8443" "$dir/INSTALL.txt"
check "the install note says the programs are not signed" grep -q "The DLLs and halvane-cli.exe are not signed" \
  "$dir/INSTALL.txt"
check "the install note does not warn of the development key" bash -c '! grep -qi "development key" "$1"' _ "$dir/INSTALL.txt"
note=$(tr -s ' \n' '  ' < "$dir/INSTALL.txt")
# The packaged terminal files pass the include check, which resolves each #include as the
# terminal does once the files are where the note puts them.
check "the packaged terminal files pass the include check" python3 "$root/tests/checks/check_include_files.py" \
  --header "$dir/include/halvane.h" --cases "$root/tests/data/e2e_cases.json" "$dir/mql5" "$dir/mql4" >/dev/null
for language in 5:mq5 4:mq4; do
  mql=MQL${language%:*} ext=${language#*:}
  check "the note puts mql${language%:*}\\Halvane.mqh into $mql\\Include" grep -qF "Halvane.mqh into $mql\\Include" <<<"$note"
  check "the note puts the $ext scripts into $mql\\Scripts" \
    grep -qF "HalvaneDay.$ext and HalvaneSelfTest.$ext into $mql\\Scripts" <<<"$note"
  check "the note puts the $ext guard into $mql\\Experts" grep -qF "HalvaneGuard.$ext into $mql\\Experts" <<<"$note"
done
check "the licence is there" grep -q "Copyright" "$dir/LICENSE.txt"
check "the notices cover winpthreads and the GCC runtime" bash -c 'grep -qi winpthread "$1" &&
  grep -qi "runtime library exception" "$1"' _ "$dir/THIRD-PARTY-NOTICES.txt"
for folder in x64:x86_64 x86:i686; do
  dll="$dir/${folder%:*}/halvane.dll"
  check "the packaged ${folder%:*} DLL passes its export, import, convention and key checks" \
    python3 "$root/tests/checks/check_binary.py" --library "$dll" --objdump "${folder#*:}-w64-mingw32-objdump" \
    --machine "${folder#*:}" --key "$key" >/dev/null
  check "no build or source path in the ${folder%:*} DLL" bash -c '! grep -qaF -e "$1" -e "$2" "$3"' _ "$work/tmp" "$root" "$dll"
  check "the ${folder%:*} DLL carries no signature" bash -c '! osslsigncode verify -in "$1" >/dev/null 2>&1' _ "$dll"
  check "the ${folder%:*} DLL carries the service host" bash -c 'iconv -f utf-16le -t utf-8 < "$1" 2>/dev/null |
    grep -q service.example || strings -el "$1" | grep -q service.example' _ "$dll"
  check "the install note places the ${folder%:*} DLL" grep -q "${folder%:*}\\\\halvane.dll" "$dir/INSTALL.txt"
  imports=$("${folder#*:}-w64-mingw32-objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | paste -sd, - |
    sed 's/,/, /g')
  check "the install note lists what the ${folder%:*} DLL imports ($imports)" \
    grep -qF "${folder%:*}\\halvane.dll: $imports" "$dir/INSTALL.txt"
  check "the ${folder%:*} DLL's imports include CRYPT32" grep -qi "crypt32.dll" <<<"$imports"
  check "the ${folder%:*} DLL carries no development-key mark" bash -c '! strings -el "$1" | grep -qi "development key"' _ "$dll"
  check "the ${folder%:*} CLI is built for its machine" bash -c 'objdump -f "$1" | grep -q "$2"' _ \
    "$dir/${folder%:*}/halvane-cli.exe" "$([ "${folder%:*}" = x64 ] && echo pei-x86-64 || echo pei-i386)"
done
check "SHA256SUMS covers every other file" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS &&
  [ "$(find . -type f ! -name SHA256SUMS | wc -l)" -eq "$(wc -l < SHA256SUMS)" ]' _ "$dir"

# Signed (the password from the environment this time), with the development key allowed, for
# a port where nothing listens.
HALVANE_SIGN_PASSWORD="test pass" package --host localhost --port 9 --key-file "$work/dev.key" \
  --allow-development-key --sign-pkcs12 "$work/codeSigning.p12" --out "$work/signed" >/dev/null 2>&1
zip=$(ls "$work"/signed/halvane-*-windows-development-key.zip 2>/dev/null || true)
check "a development-key package is named for it" [ -n "$zip" ]
dir=$(unpack "$zip" "$work/signed-unpacked")
check "the note of a development-key package warns of it" grep -q "BUILT WITH THE PUBLIC DEVELOPMENT KEY" \
  "$dir/INSTALL.txt"
check "the signed x64 CLI verifies against the CA" \
  osslsigncode verify -CAfile "$work/ca.pem" -in "$dir/x64/halvane-cli.exe" >/dev/null
check "the signed x86 DLL verifies against the CA" osslsigncode verify -CAfile "$work/ca.pem" -in "$dir/x86/halvane.dll" >/dev/null
dll="$dir/x64/halvane.dll"
check "the signed x64 DLL verifies against the CA" osslsigncode verify -CAfile "$work/ca.pem" -in "$dll" >/dev/null
cp "$dll" "$work/tampered.dll"
printf 'X' | dd of="$work/tampered.dll" bs=1 seek=5000 conv=notrunc status=none
check "a tampered copy fails verification" bash -c '! osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ \
  "$work/ca.pem" "$work/tampered.dll"
check "the install note names the signer and the missing timestamp" \
  grep -q "signed with Authenticode by .*halvane test codeSigning.*carries no" <(tr '\n' ' ' < "$dir/INSTALL.txt")
check "SHA256SUMS holds the signed DLL's digest" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' _ "$dir"
# The CLI beside the DLL loads it: the export's trace reaches the refused connection, and the
# version resource is intact.
"$root/cmake/wine-run.sh" "$dir/x64/halvane-cli.exe" --trace status --key k --account 1 \
  >"$work/out" 2>"$work/err" || true
check "the signed DLL loads and runs its export under Wine" grep -qx "ERROR" <(tr -d '\r' < "$work/out")
check "the signed DLL's export reached the refused connection" grep -q "GetLastError = 12029" "$work/err"
check "the signed DLL keeps its version resource" grep -q "Built for the service at localhost:9" "$work/err"
check "the development-key DLL says so in its version resource" grep -q "SpecialBuild: Development key" "$work/err"
"$root/cmake/wine-run.sh" "$dir/x64/halvane-cli.exe" check >"$work/out" 2>/dev/null || true
check "the packaged CLI's check names what fails" grep -q "check: does not work: .*12029" "$work/out"

check "nothing is left behind in the temporary folder" [ -z "$(ls -A "$work/tmp")" ]
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
