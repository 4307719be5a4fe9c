#!/usr/bin/env bash
# Makes a throw-away certificate authority and server certificates in DIR, for https
# tests and benchmarks on 127.0.0.1; nothing of the system's trust is touched.
#   ca.pem                          the authority, to trust through SSL_CERT_FILE
#   server.pem/.key                 signed by it, for 127.0.0.1 and localhost
#   wronghost.pem/.key              signed by it, for another host name only
#   untrusted.pem/.key              for 127.0.0.1, signed by nobody anyone trusts
#   bundle.pem                      the system's bundle with ca.pem added
#   cadir/, untrusteddir/           ca.pem, untrusted.pem under their hashed names, to
#                                   trust through SSL_CERT_DIR
# Usage: make_test_ca.sh DIR
set -euo pipefail
dir="$1"
mkdir -p "$dir"
cd "$dir"
quiet() { "$@" >/dev/null 2>&1 || { echo "make_test_ca: $* failed" >&2; "$@" >&2; exit 1; }; }
key() { quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }

key ca.key
quiet openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=Quorvex Test-CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

signed() { # name subjectAltName
    key "$1.key"
    quiet openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1"
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
    quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out "$1.pem" -extfile "$1.ext"
    rm -f "$1.csr" "$1.ext"
}
signed server "IP:127.0.0.1,DNS:localhost"
signed wronghost "DNS:anderer-rechner.invalid"

key untrusted.key
quiet openssl req -x509 -new -key untrusted.key -out untrusted.pem -days 2 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1"

hashed() { # dir cert
    mkdir -p "$1"
    cp "$2" "$1/$(openssl x509 -hash -noout -in "$2").0"
}
hashed cadir ca.pem
hashed untrusteddir untrusted.pem

system=/etc/ssl/certs/ca-certificates.crt
{ [ -r "$system" ] && cat "$system"; cat ca.pem; } >bundle.pem
