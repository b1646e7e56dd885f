#!/bin/bash
# scripts/sign.sh with a throwaway certificate made here: the exes and the MSI packaged from them
# all carry a signature that verifies against that certificate.
# Usage: sign_test.sh <exe>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$1" "$(dirname "$1")/kvSessionControl.exe" "$work/"
cp "$1" "$work/unsigned.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kvUsbRedirector test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" \
    >/dev/null 2>&1 || { echo "FAIL: no certificate"; exit 1; }
KV_SIGN_DIR=$work "$root/scripts/sign.sh" "$work/cert.pem" "$work/key.pem" ||
    { echo "FAIL: sign.sh"; exit 1; }
failures=0
for file in "$work"/kv*.exe "$work"/kvUsbRedirector-*.msi; do
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify.log" 2>&1; then
        echo "verified: $(basename "$file")"
    else
        echo "FAIL: $(basename "$file") does not verify"
        cat "$work/verify.log"
        failures=$((failures + 1))
    fi
done
# The check itself: a file without a signature does not verify.
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/unsigned.exe" >/dev/null 2>&1; then
    echo "FAIL: an unsigned exe verifies"
    failures=$((failures + 1))
fi
exit $failures
