#!/usr/bin/env bash
# tools/package.sh: refuses the development key and unusable signing certificates, writing
# nothing and leaving nothing behind; builds a zip whose two DLLs (x64/, x86/) are built for
# their machines and carry the given settings' key only in masked form, with checksums of its
# files; two runs give the same bytes; a signed package verifies against its CA, a tampered
# copy does not, and the signed DLL still loads and runs its exports under Wine.
#
# usage: test_package.sh HALVANE-CLI.EXE   (run through cmake/wine-run.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:?usage: test_package.sh HALVANE-CLI.EXE}
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
unpack() { rm -rf "$2" && unzip -q "$1" -d "$2" && echo "$2"/halvane-*-windows; }

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
for entry in x64/halvane.dll x86/halvane.dll include/halvane.h mql5/Halvane.mqh mql5/HalvaneDay.mq5 \
             mql4/Halvane.mqh mql4/HalvaneDay.mq4 INSTALL.txt SHA256SUMS; do
  check "the zip holds $entry" grep -q "/$entry\$" <<<"$listing"
done
check "the zip's entries are in a fixed order" [ "$listing" = "$(LC_ALL=C sort <<<"$listing")" ]
dir=$(unpack "$zip" "$work/unpacked")
check "the install note names the service" grep -q "service.example:8443" "$dir/INSTALL.txt"
check "the install note says the DLLs are not signed" grep -q "The DLLs are not signed" "$dir/INSTALL.txt"
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
done
check "SHA256SUMS covers every other file" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS &&
  [ "$(find . -type f ! -name SHA256SUMS | wc -l)" -eq "$(wc -l < SHA256SUMS)" ]' _ "$dir"

# Signed (the password from the environment this time), for a port where nothing listens.
HALVANE_SIGN_PASSWORD="test pass" package --host localhost --port 9 --key-file "$work/real.key" \
  --sign-pkcs12 "$work/codeSigning.p12" --out "$work/signed" >/dev/null 2>&1
dir=$(unpack "$work"/signed/halvane-*-windows.zip "$work/signed-unpacked")
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
# The export ran: its trace reaches the refused connection, and the version resource is intact.
"$root/cmake/wine-run.sh" "$cli" --library "Z:${dll//\//\\}" --trace status --key k --account 1 \
  >"$work/out" 2>"$work/err" || true
check "the signed DLL loads and runs its export under Wine" grep -qx "ERROR" <(tr -d '\r' < "$work/out")
check "the signed DLL's export reached the refused connection" grep -q "GetLastError = 12029" "$work/err"
check "the signed DLL keeps its version resource" grep -q "Built for the service at localhost:9" "$work/err"

check "nothing is left behind in the temporary folder" [ -z "$(ls -A "$work/tmp")" ]
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
