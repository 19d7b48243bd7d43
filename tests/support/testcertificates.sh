#!/usr/bin/env bash
# Makes the certificates of the TLS tests and benchmarks with the openssl CLI, into DIR (which
# must exist), valid for two days, with P-256 keys (quick to make):
#   ca.crt ca.key               the tests' CA
#   server.crt server.key       signed by it, for 127.0.0.1, ::1 and localhost
#   elsewhere.crt elsewhere.key signed by it, for elsewhere.invalid only (a name mismatch)
#   other-ca.crt other-ca.key   a second CA
#   stranger.crt stranger.key   signed by the second CA, for 127.0.0.1, ::1 and localhost
#   testcertificates.sh DIR
set -euo pipefail
cd "$1"

key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null
}

# ca NAME SUBJECT
ca() {
    key "$1"
    openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -out "$1.crt" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# server NAME CA SUBJECT_ALT_NAMES
server() {
    key "$1"
    openssl req -new -key "$1.key" -subj "/CN=$1" -out "$1.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n%s\n%s\n' \
        "extendedKeyUsage=serverAuth" "subjectAltName=$3" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days 2 \
        -extfile "$1.ext" -out "$1.crt" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

ca ca "Velmora test CA"
server server ca "IP:127.0.0.1,IP:::1,DNS:localhost"
server elsewhere ca "DNS:elsewhere.invalid"
ca other-ca "Another test CA"
server stranger other-ca "IP:127.0.0.1,IP:::1,DNS:localhost"
