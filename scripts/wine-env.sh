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
# Xvfb has no window manager, and Wine would wait 2 s for one at every unmap of a window it
# lets the manager handle: the share dialog tests show and close real dialogs.
if [ ! -f "$WINEPREFIX/.kv-unmanaged" ]; then
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.kv-unmanaged"
fi
status=0
"$@" || status=$?
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status
