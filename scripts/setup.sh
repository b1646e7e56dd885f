#!/bin/bash
# Installs, when missing, every package the build and the tests need (run as root on Debian).
kv_require_packages() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

KV_PACKAGES=(cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             wine64 xvfb xauth googletest libgtest-dev wixl msitools osslsigncode openssl
             clang-14 lld-14 clang-tidy-14)
# libFuzzer's runtime comes with the compiler-rt package, which clang only recommends.
KV_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
