#!/bin/bash
# Builds the program and runs a redirected session under Wine against the simulated peers.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j2
# Until the session simulator lands, the engine's lifecycle suite shows a start and a stop.
xvfb-run -a scripts/wine-env.sh build/win \
    cmake -E env WINEDEBUG=-all /usr/lib/wine/wine64 build/win/kv_win_tests.exe \
    --gtest_filter='Engine_test.*'
