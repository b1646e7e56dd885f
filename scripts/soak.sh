#!/bin/bash
# Builds the soak and runs it under Wine on the simulator for a number of minutes: transfers of
# every kind and size, devices leaving and coming back, hostile frames, and a terminal that
# breaks and a session that reconnects every 30 s. Prints the requests, handles and memory
# every minute; exits non-zero when a request was lost or answered wrongly, when memory grew
# after the first minute, or when handles kept growing after it (a handle made once on a first
# use and kept is named, not failed). Then runs the device-life test for KV_LIFE_STEPS steps
# (100000 unless set). Not part of the tests.
# Usage: scripts/soak.sh [minutes [build dir]]   (10, build/win)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
build=${2:-build/win}
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 19 cmake --build "$build" -j1 --target kv_soak kv_win_tests >/dev/null
cd "$build"
xvfb-run -a "$OLDPWD/scripts/wine-env.sh" . /usr/lib/wine/wine64 kv_soak.exe "$minutes"
KV_LIFE_STEPS=${KV_LIFE_STEPS:-100000} xvfb-run -a "$OLDPWD/scripts/wine-env.sh" . \
    /usr/lib/wine/wine64 kv_win_tests.exe --gtest_filter="Device_life_test.*"
