#!/bin/bash
# Wine with a prefix inside the build folder: start a detached server, run, stop it.
# Usage: wine-env.sh <build-dir> <command...>
set -euo pipefail
build_dir=$(cd "$1" && pwd)
shift
export WINEPREFIX="$build_dir/wineprefix"
export KV_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
    mkdir -p "$WINEPREFIX"
    setsid "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
    "$WINESERVER" -w || true
    touch "$WINEPREFIX/.kv-ready"
fi
# Detached, so that Wine's service processes never hold the caller's output pipes.
setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 &
setsid "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
status=0
"$@" || status=$?
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status
