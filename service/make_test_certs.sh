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
         expired.pem expired.key ca.pem)

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

[ ext_localhost ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1

[ ext_otherhost ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:otherhost.invalid

[ ext_selfsigned ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
EOF

export OPENSSL_CONF="$WORK/openssl.cnf"

new_csr() { # name CN
    openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" \
        -subj "/CN=$2" -out "$1.csr" 2>/dev/null
}

new_ca_db() { # dir
    mkdir -p "$1/issued"
    : > "$1/index.txt"
    echo 1000 > "$1/serial"
}

# openssl ca resolves database/serial paths relative to the working directory,
# so each CA signs from inside its own directory.
ca_sign() { # ca_dir ca_cert ca_key csr out extensions [extra ca options...]
    local cadir=$1 cacert=$2 cakey=$3 csr=$4 out=$5 ext=$6
    shift 6
    (cd "$cadir" && openssl ca -batch -notext -config "$OPENSSL_CONF" \
        -cert "$cacert" -keyfile "$cakey" -in "$csr" -out "$out" \
        -extensions "$ext" "$@" 2>/dev/null) || {
        echo "make_test_certs.sh: signing $out failed" >&2
        exit 1
    }
}

# Every certificate that should be valid starts in 2020 and ends ten years from
# now: a client whose clock lags a little never sees "not yet valid", and the
# expired leaf nests inside the CA's validity so it fails only as expired.
VALID_NOW=(-startdate 20200101000000Z -days 3650)

new_ca_db "$WORK/trusted"
new_csr ca "Halvane Test CA"
(cd "$WORK/trusted" && openssl ca -batch -notext -config "$OPENSSL_CONF" -selfsign \
    -keyfile "$WORK/ca.key" -in "$WORK/ca.csr" -out "$WORK/ca.pem" \
    "${VALID_NOW[@]}" -extensions ext_ca 2>/dev/null)
openssl x509 -in ca.pem -outform DER -out ca.der

new_csr localhost localhost
ca_sign "$WORK/trusted" "$WORK/ca.pem" "$WORK/ca.key" "$WORK/localhost.csr" \
    "$WORK/localhost.pem" ext_localhost "${VALID_NOW[@]}"

new_csr otherhost otherhost.invalid
ca_sign "$WORK/trusted" "$WORK/ca.pem" "$WORK/ca.key" "$WORK/otherhost.csr" \
    "$WORK/otherhost.pem" ext_otherhost "${VALID_NOW[@]}"

new_csr expired localhost
ca_sign "$WORK/trusted" "$WORK/ca.pem" "$WORK/ca.key" "$WORK/expired.csr" \
    "$WORK/expired.pem" ext_localhost -startdate 20210101000000Z -enddate 20220101000000Z

# A second CA that no test trusts, and a localhost certificate it issued.
new_ca_db "$WORK/untrusted"
new_csr untrusted-ca "Halvane Untrusted Test CA"
(cd "$WORK/untrusted" && openssl ca -batch -notext -config "$OPENSSL_CONF" -selfsign \
    -keyfile "$WORK/untrusted-ca.key" -in "$WORK/untrusted-ca.csr" \
    -out "$WORK/untrusted-ca.pem" "${VALID_NOW[@]}" \
    -extensions ext_ca 2>/dev/null)
new_csr untrusted localhost
ca_sign "$WORK/untrusted" "$WORK/untrusted-ca.pem" "$WORK/untrusted-ca.key" \
    "$WORK/untrusted.csr" "$WORK/untrusted.pem" ext_localhost "${VALID_NOW[@]}"

new_ca_db "$WORK/self"
new_csr selfsigned localhost
(cd "$WORK/self" && openssl ca -batch -notext -config "$OPENSSL_CONF" -selfsign \
    -keyfile "$WORK/selfsigned.key" -in "$WORK/selfsigned.csr" -out "$WORK/selfsigned.pem" \
    "${VALID_NOW[@]}" -extensions ext_selfsigned 2>/dev/null)

chmod 600 ./*.key
chmod 644 ./*.pem ca.der

for f in "${OUTPUTS[@]}"; do
    mv -f "$WORK/$f" "$DIR/$f"
done
