#!/bin/sh
# Makes, in the folder DIR, the certificates of the TLS tests: a test root
# (ca.pem) and, each with its key (NAME.key), good.pem (for 127.0.0.1 and
# localhost), expired.pem (the same names, expired yesterday), wronghost.pem
# (for another host), unknownca.pem (signed by a root nobody trusts).
# Made fresh at every run; nothing here is ever committed.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
root() {  # root NAME CN
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 3 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() {  # leaf NAME CA DAYS SAN
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1 test server" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$4" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -out "$1.pem" -days "$3" \
    -extfile "$1.ext" 2>/dev/null
}
root ca "Skyvane Test Root"
root otherca "Unrelated Test Root"
leaf good ca 2 "IP:127.0.0.1,DNS:localhost"
leaf expired ca -1 "IP:127.0.0.1,DNS:localhost"
leaf wronghost ca 2 "IP:10.255.254.253,DNS:elsewhere.invalid"
leaf unknownca otherca 2 "IP:127.0.0.1,DNS:localhost"
