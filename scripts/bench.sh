#!/bin/bash
# Builds the benchmark and runs it under Wine on the simulator: the engine against the program's
# own channel alone, its costs, and idle sessions (one, then 100 processes). Prints the tables
# and draws docs/bench.png with gnuplot. Not part of the tests: the figures depend on the load.
# Usage: scripts/bench.sh [idle seconds [build dir]]   (60, build/win; 0 leaves idle out)
set -euo pipefail

if [ "${1:-}" = "--in-wine" ]; then
    # Inside wine-env.sh: the Wine server of this prefix is the one working in the prefix's
    # server folder, named after the prefix's device and inode.
    shift
    folder=server-$(printf '%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
    for pid in $(pgrep wineserver || true); do
        if [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$folder" ]; then
            export KV_WINESERVER_PID=$pid
        fi
    done
    exec /usr/lib/wine/wine64 "$@"
fi

cd "$(dirname "$0")/.."

idle_seconds=${1:-60}
build=${2:-build/win}
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}" gnuplot-nox
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 19 cmake --build "$build" -j1 --target kv_bench >/dev/null
echo "uptime: $(uptime)"
(cd "$build" && xvfb-run -a "$OLDPWD/scripts/wine-env.sh" . "$OLDPWD/scripts/bench.sh" \
    --in-wine kv_bench.exe "$idle_seconds" bench.dat | tee bench.txt)
gnuplot <<EOF
set terminal pngcairo size 900,560 font "sans,10" noenhanced
set output "docs/bench.png"
set title "kvUsbRedirector on the simulator under Wine: throughput against transfer size"
set xlabel "transfer size (bytes)"
set ylabel "MiB/s"
set logscale xy 2
set xtics ("64 B" 64, "512 B" 512, "4 KiB" 4096, "64 KiB" 65536, "1 MiB" 1048576)
set key top left
set grid
set datafile missing "-"
plot "$build/bench.dat" using 1:6 with linespoints lw 2 dt 2 title "limit (a) IN", \
     ""                    using 1:2 with linespoints lw 2 title "engine IN plain", \
     ""                    using 1:3 with linespoints lw 2 title "engine IN MDL", \
     ""                    using 1:7 with linespoints lw 2 dt 2 title "limit (a) OUT", \
     ""                    using 1:8 with linespoints lw 2 dt 3 title "limit (a') OUT, copying: MDL OUT's", \
     ""                    using 1:4 with linespoints lw 2 title "engine OUT plain", \
     ""                    using 1:5 with linespoints lw 2 title "engine OUT MDL"
EOF
echo "plot: docs/bench.png"
