#!/usr/bin/env bash
# Creates the TLS material the Halvane test service and the client tests use.
#
#   make_test_certs.sh DIR
#
# Writes into DIR (RSA 2048, SHA-256):
#   ca.pem ca.key ca.der        test CA (CA:TRUE); ca.der is the DER copy of ca.pem
#   localhost.pem/.key          signed by the CA; SAN DNS:localhost, IP:127.0.0.1, IP:::1
#   otherhost.pem/.key          signed by the CA; SAN DNS:otherhost.invalid only
#   untrusted-ca.pem            a second CA that nobody trusts
#   untrusted.pem/.key          localhost certificate signed by the untrusted CA
#   selfsigned.pem/.key         self-signed localhost certificate
#   expired.pem/.key            signed by the CA, localhost SAN, validity entirely in the past
#   sha1-root.pem/.key/.der     a second trusted CA, self-signed with SHA-1 (as many real roots are)
#   sha1-root-leaf.pem/.key     localhost certificate that CA signed with SHA-256
# ca.pem holds both trusted CAs (the test CA first); ca.der only the test CA.
#
# Does nothing when every output already exists. Safe to run concurrently on
# the same DIR: a lock directory serialises generation and the files are moved
# into place with ca.pem last. Private keys are mode 600.
set -euo pipefail

if [ "$#" -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi

DIR=$1
OUTPUTS=(ca.key ca.der localhost.pem localhost.key otherhost.pem otherhost.key
         untrusted-ca.pem untrusted.pem untrusted.key selfsigned.pem selfsigned.key
         expired.pem expired.key sha1-root.pem sha1-root.key sha1-root.der sha1-root-leaf.pem sha1-root-leaf.key
         ca.pem)

all_present() {
    local f
    for f in "${OUTPUTS[@]}"; do
        [ -s "$DIR/$f" ] || return 1
    done
    return 0
}

if all_present; then
    exit 0
fi

umask 077
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

LOCK="$DIR/.make_test_certs.lock"
WORK=""
cleanup() {
    if [ -n "$WORK" ]; then rm -rf "$WORK"; fi
    if [ -f "$LOCK/pid" ] && [ "$(cat "$LOCK/pid" 2>/dev/null)" = "$$" ]; then
        rm -rf "$LOCK"
    fi
}
trap cleanup EXIT

waited=0
until mkdir "$LOCK" 2>/dev/null; do
    holder=$(cat "$LOCK/pid" 2>/dev/null || true)
    if [ -n "$holder" ] && ! kill -0 "$holder" 2>/dev/null; then
        # The process that took the lock is gone; take it over.
        rm -rf "$LOCK"
        continue
    fi
    if [ "$waited" -ge 600 ]; then
        echo "make_test_certs.sh: timed out waiting for $LOCK (remove it if stale)" >&2
        exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
done
echo "$$" > "$LOCK/pid"

# Another run may have finished while we waited for the lock.
if all_present; then
    exit 0
fi

WORK=$(mktemp -d "$DIR/.work.XXXXXX")
cd "$WORK"

cat > openssl.cnf <<'EOF'
[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = placeholder

[ ca ]
default_ca = test_ca
[ test_ca ]
database = ./index.txt
new_certs_dir = ./issued
serial = ./serial
default_md = sha256
policy = any_cn
unique_subject = no
copy_extensions = none
email_in_dn = no
[ any_cn ]
commonName = supplied

[ ext_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash

[ ext_selfsigned ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
EOF
# The leaves a CA issues differ only in the names they are valid for.
for leaf in "localhost DNS:localhost,IP:127.0.0.1,IP:::1" "otherhost DNS:otherhost.invalid"; do
    cat >> openssl.cnf <<EOF

[ ext_${leaf%% *} ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = ${leaf#* }
EOF
done

export OPENSSL_CONF="$WORK/openssl.cnf"

new_csr() { # name CN
    openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" \
        -subj "/CN=$2" -out "$1.csr" 2>/dev/null
}

# Every certificate that should be valid starts in 2020 and ends ten years from
# now: a client whose clock lags a little never sees "not yet valid", and the
# expired leaf nests inside the CA's validity so it fails only as expired.
VALID_NOW=(-startdate 20200101000000Z -days 3650)

# issue NAME CN CA_DIR ISSUER EXTENSIONS [validity...]: a new key NAME.key and NAME.pem
# for it, signed by ISSUER.key ("self": by its own key). openssl ca resolves its
# database and serial paths relative to the working directory, so each CA signs from
# inside its own directory.
issue() {
    local name=$1 cn=$2 cadir=$WORK/$3 issuer=$4 ext=$5
    shift 5
    new_csr "$name" "$cn"
    if [ ! -d "$cadir" ]; then
        mkdir -p "$cadir/issued"
        : > "$cadir/index.txt"
        echo 1000 > "$cadir/serial"
    fi
    local signer=(-cert "$WORK/$issuer.pem" -keyfile "$WORK/$issuer.key")
    if [ "$issuer" = self ]; then signer=(-selfsign -keyfile "$WORK/$name.key"); fi
    (cd "$cadir" && openssl ca -batch -notext -config "$OPENSSL_CONF" "${signer[@]}" \
        -in "$WORK/$name.csr" -out "$WORK/$name.pem" -extensions "$ext" "$@" 2>/dev/null) || {
        echo "make_test_certs.sh: signing $name.pem failed" >&2
        exit 1
    }
}

issue ca "Halvane Test CA" trusted self ext_ca "${VALID_NOW[@]}"
openssl x509 -in ca.pem -outform DER -out ca.der
issue localhost localhost trusted ca ext_localhost "${VALID_NOW[@]}"
issue otherhost otherhost.invalid trusted ca ext_otherhost "${VALID_NOW[@]}"
issue expired localhost trusted ca ext_localhost -startdate 20210101000000Z -enddate 20220101000000Z

# A second CA that no test trusts, and a localhost certificate it issued.
issue untrusted-ca "Halvane Untrusted Test CA" untrusted self ext_ca "${VALID_NOW[@]}"
issue untrusted localhost untrusted untrusted-ca ext_localhost "${VALID_NOW[@]}"

issue selfsigned localhost self self ext_selfsigned "${VALID_NOW[@]}"

# A trusted root self-signed with SHA-1: a trust anchor's own signature proves nothing, so
# what it issued with SHA-256 is sound.
issue sha1-root "Halvane SHA-1 Root Test CA" sha1root self ext_ca "${VALID_NOW[@]}" -md sha1
openssl x509 -in sha1-root.pem -outform DER -out sha1-root.der
issue sha1-root-leaf localhost sha1root sha1-root ext_localhost "${VALID_NOW[@]}"
cat sha1-root.pem >> ca.pem

chmod 600 ./*.key
chmod 644 ./*.pem ./*.der

for f in "${OUTPUTS[@]}"; do
    mv -f "$WORK/$f" "$DIR/$f"
done
