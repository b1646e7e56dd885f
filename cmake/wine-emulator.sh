#!/bin/sh
# Runs a Windows test executable under Wine with the build folder's own prefix.
: "${WINEPREFIX:=${KV_WINEPREFIX:-$(pwd)/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
exec /usr/lib/wine/wine64 "$@"
