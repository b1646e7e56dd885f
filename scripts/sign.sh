#!/bin/bash
# Signs the program for application-control policies (publisher rules): the exes first
# (kvUsbRedirector.exe and kvSessionControl.exe), then the MSI packaged from them, each with
# Authenticode through osslsigncode.
# Usage: scripts/sign.sh CERT KEY [TIMESTAMP_URL]
#   CERT, KEY: the code-signing certificate (chain) and its private key, PEM files.
#   TIMESTAMP_URL: an RFC 3161 time-stamping server, so that the signatures outlive the
#   certificate; without one they are valid only while it is.
# KV_SIGN_DIR names the folder of the exes (default build/win); the MSI is written beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages osslsigncode wixl msitools
[ $# -ge 2 ] || { sed -n '2,9p' "$0"; exit 2; }
cert=$(realpath "$1") key=$(realpath "$2") url=${3:-}
root=$PWD
dir=$(realpath "${KV_SIGN_DIR:-build/win}")
version=$(sed -n 's/^project(kvUsbRedirector VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
exe=$dir/kvUsbRedirector.exe
msi=$dir/kvUsbRedirector-$version.msi

sign() {
    local args=(sign -certs "$cert" -key "$key" -n "Kelvra USB Redirector" -h sha256
                -in "$1" -out "$1.signed")
    [ -n "$url" ] && args+=(-ts "$url")
    osslsigncode "${args[@]}" >/dev/null
    mv "$1.signed" "$1"
    echo "signed: $1"
}

sign "$exe"
sign "$dir/kvSessionControl.exe"
(cd "$dir" && wixl -a x64 -D Version="$version" -D KvExe=kvUsbRedirector.exe \
    -D KvControl=kvSessionControl.exe -o "$msi" "$root/installer/kvUsbRedirector.wxs")
installer/in_script_actions.sh "$msi" KvStartInstances KvStartInstancesAgain
sign "$msi"
