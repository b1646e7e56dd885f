#!/bin/bash
# Builds the soak and runs it under Wine on the simulator for a number of minutes: transfers of
# every kind and size, devices leaving and coming back, hostile frames, and a terminal that
# breaks and a session that reconnects every 30 s. Prints the requests, handles and memory
# every minute; exits non-zero when a request was lost or answered wrongly, or when handles or
# memory grew after the first minute. Not part of the tests.
# Usage: scripts/soak.sh [minutes]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 19 cmake --build build/win -j1 --target kv_soak >/dev/null
cd build/win
xvfb-run -a ../../scripts/wine-env.sh . /usr/lib/wine/wine64 kv_soak.exe "$minutes"
