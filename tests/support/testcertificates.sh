#!/usr/bin/env bash
# Makes the certificates of the TLS tests and benchmarks with the openssl CLI, into DIR (which
# must exist), valid for DAYS days (two by default), with P-256 keys (quick to make):
#   ca.crt ca.key               the tests' CA
#   server.crt server.key       signed by it, for 127.0.0.1, ::1 and localhost
#   elsewhere.crt elsewhere.key signed by it, for elsewhere.invalid only (a name mismatch)
#   other-ca.crt other-ca.key   a second CA
#   stranger.crt stranger.key   signed by the second CA, for 127.0.0.1, ::1 and localhost
#   expired.crt expired.key     signed by the tests' CA, for 127.0.0.1, ::1 and localhost, expired
#   self.crt self.key           signed by itself, for 127.0.0.1, ::1 and localhost
#   rooted.crt rooted.key       server.crt followed by ca.crt: a chain sent with its root
#   reissued.crt reissued.key   server.crt followed by the tests' CA issued again (same name and
#                               key, another certificate): a chain sent with a root of its own
#   testcertificates.sh DIR [DAYS]
set -euo pipefail
cd "$1"
days="${2:-2}"

key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null
}

# ca NAME SUBJECT
ca() {
    key "$1"
    openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days "$days" -out "$1.crt" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# server NAME CA SUBJECT_ALT_NAMES
server() {
    key "$1"
    openssl req -new -key "$1.key" -subj "/CN=$1" -out "$1.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n%s\n%s\n' \
        "extendedKeyUsage=serverAuth" "subjectAltName=$3" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days "$days" \
        -extfile "$1.ext" -out "$1.crt" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

ca ca "Velmora test CA"
server server ca "IP:127.0.0.1,IP:::1,DNS:localhost"
server elsewhere ca "DNS:elsewhere.invalid"
ca other-ca "Another test CA"
server stranger other-ca "IP:127.0.0.1,IP:::1,DNS:localhost"

# A certificate that ran out in 2020; only `openssl ca` takes dates in the past.
key expired
openssl req -new -key expired.key -subj "/CN=expired" -out expired.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n%s\n' \
    "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost" > expired.ext
printf '%s\n' '[ca]' 'default_ca=d' '[d]' 'database=expired.db' 'new_certs_dir=.' \
    'serial=expired.srl' 'default_md=sha256' 'policy=p' '[p]' 'commonName=supplied' > expired.cnf
: > expired.db
echo 01 > expired.srl
openssl ca -batch -config expired.cnf -cert ca.crt -keyfile ca.key -in expired.csr \
    -out expired.crt -startdate 20200101000000Z -enddate 20200102000000Z -extfile expired.ext \
    -notext 2>/dev/null
rm -f expired.csr expired.ext expired.cnf expired.db* expired.srl* 01.pem

key self
openssl req -x509 -new -key self.key -subj "/CN=self" -days "$days" -out self.crt \
    -addext "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost" 2>/dev/null

cat server.crt ca.crt > rooted.crt
cp server.key rooted.key
openssl req -x509 -new -key ca.key -subj "/CN=Velmora test CA" -days "$days" \
    -out reissued-ca.crt \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
cat server.crt reissued-ca.crt > reissued.crt
cp server.key reissued.key
rm -f reissued-ca.crt
