#!/bin/bash
# Builds the program and runs a whole redirected session of the real engine under Wine
# against the simulated terminal and port driver, printing what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j2 --target kvUsbRedirector kv_session_sim
cd build/win
xvfb-run -a ../../scripts/wine-env.sh . /usr/lib/wine/wine64 kv_session_sim.exe
