#!/bin/bash
# Checks that the program's includes only look down its layers, builds everything (native
# portable code with sanitizers, its fuzzer, the Windows program and its tests, all Windows
# targets again with clang) and runs clang-tidy and all tests, the fuzzer for 20 s, the Windows
# ones under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}"

python3 scripts/check-layers.py
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug -DKV_WERROR=ON >/dev/null
cmake --build build/native -j2
ctest --test-dir build/native --output-on-failure
scripts/fuzz.sh 20

cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DKV_WERROR=ON >/dev/null
cmake --build build/win -j2  # also kv_msi, the MSI package

# Every Windows target again with clang (warnings, the lock annotations), built only; then
# clang-tidy (.clang-tidy) over the program's and the session helper's sources in its compile
# database: any finding fails.
cmake -S . -B build/clang-win -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DKV_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build/clang-win -j2 --target kvUsbRedirector kvSessionControl kv_win_tests \
      kv_session_control_tests kv_exit_check kv_session_sim kv_bench kv_soak
run-clang-tidy-14 -quiet -p build/clang-win -j2 '/src/apps/'

# Wine very rarely fails to start a test process at all: it prints nothing. Only such a test
# is run again (twice at most); any other failure, even one seen only now and then, is red.
xvfb-run -a scripts/wine-env.sh build/win scripts/ctest-rerun-unstarted.sh build/win

