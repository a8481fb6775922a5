#!/bin/sh
# Makes the package's test code-signing certificate: a self-signed RSA-3072 certificate for code
# signing, made fresh for each build tree and never committed. Windows trusts what it signs once
# the certificate is in the machine's Trusted Root and Trusted Publishers stores and test signing
# is on.
# Usage: make_test_certificate.sh OPENSSL KEY_OUT CERT_OUT
set -eu
openssl=$1 key=$2 cert=$3
config=$(mktemp)
trap 'rm -f "$config"' EXIT
cat >"$config" <<'CONFIG'
[req]
distinguished_name = dn
x509_extensions = ext
prompt = no
[dn]
CN = kvsbda test signing (not for release)
O = kvsbda
[ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CONFIG
"$openssl" req -x509 -newkey rsa:3072 -nodes -sha256 -days 1825 -config "$config" \
    -keyout "$key" -out "$cert" 2>/dev/null
chmod 600 "$key"
