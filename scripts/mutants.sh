#!/bin/bash
# Planted-fault check: applies each fault of scripts/mutants.list, one at a time, to a scratch
# copy of the tree, rebuilds incrementally, runs the native and the Wine tests (stopping at the
# first failure) and prints how many faults they caught, with the survivors. A fault in
# portable/ that they miss also meets the fuzz targets, 10 s each, built from the copy.
# Usage: scripts/mutants.sh [regular expression: only the faults whose name matches it]
# KV_MUTANTS_LIST=scripts/mutants-blind.list runs the list written without reading the tests.
# Run on demand, not in CI: about a minute a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}" "${KV_FUZZ_PACKAGES[@]}"

root=$PWD
scratch=$root/build/mutants
filter=${1:-}
if [ -z "${KV_MUTANTS_INSIDE_WINE:-}" ]; then
    export KV_MUTANTS_INSIDE_WINE=1
    mkdir -p "$scratch/win"
    exec xvfb-run -a scripts/wine-env.sh "$scratch/win" "$0" "$@"
fi
# Only files whose content differs are copied, with a new time: the build sees every change,
# a fault left in a file by an interrupted run included, and rebuilds nothing else.
stage=$scratch/stage
rm -rf "$stage"
mkdir -p "$stage" "$scratch/src"
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$stage"
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' f; do
    if ! cmp -s "$stage/$f" "$scratch/src/$f"; then
        mkdir -p "$(dirname "$scratch/src/$f")"
        cp "$stage/$f" "$scratch/src/$f"
    fi
done
# Files the tree no longer has go from the copy too (a removed fuzz target would still build).
(cd "$scratch/src" && find . -type f -print0) | while IFS= read -r -d '' f; do
    [ -e "$stage/$f" ] || rm -f "$scratch/src/$f"
done

cmake -S "$scratch/src" -B "$scratch/native" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake -S "$scratch/src" -B "$scratch/win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null

# Builds and test runs take /tmp/kv-build.lock, so that other builds on this machine wait.
build() {
    flock -o /tmp/kv-build.lock cmake --build "$scratch/native" -j2 --target kv_native_tests \
        >/dev/null 2>&1 &&
        flock -o /tmp/kv-build.lock cmake --build "$scratch/win" -j2 --target kv_win_tests kvUsbRedirector \
            kv_session_control_tests >/dev/null 2>&1
}
# 0 when every test passes; the Wine tests run in one process and stop at the first failure,
# in the build folder, where they leave what they write (the transcripts).
run_tests() {
    "$scratch/native/kv_native_tests" --gtest_fail_fast >"$scratch/native.log" 2>&1 || return 1
    cd "$scratch/win"
    local status=0
    flock -o /tmp/kv-build.lock timeout 150 /usr/lib/wine/wine64 "$scratch/win/kv_win_tests.exe" \
        --gtest_fail_fast >"$scratch/wine.log" 2>&1 &&
        flock -o /tmp/kv-build.lock timeout 150 /usr/lib/wine/wine64 \
            "$scratch/win/kv_session_control_tests.exe" --gtest_fail_fast >>"$scratch/wine.log" \
            2>&1 || status=$?
    # A test process ended by the time-out leaves its windows and threads in the Wine server,
    # where the next run would find its dialog or menu: end them (the next run starts another).
    [ $status -ne 124 ] || /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    return $status
}
# 0 when no fuzz target fails on the copy.
run_fuzzers() {
    KV_FUZZ_SOURCE="$scratch/src" KV_FUZZ_BUILD="$scratch/fuzz" "$root/scripts/fuzz.sh" 10 \
        >"$scratch/fuzz.log" 2>&1
}
# Replaces the one occurrence of a text in a file; 1 when it is not there exactly once.
apply() {
    python3 - "$@" <<'EOF'
import sys
path, text, replacement = sys.argv[1], sys.argv[2].replace('\\n', '\n'), sys.argv[3].replace('\\n', '\n')
source = open(path, encoding='utf-8').read()
if source.count(text) != 1:
    sys.exit(1)
open(path, 'w', encoding='utf-8').write(source.replace(text, replacement))
EOF
}

main() {
    echo "building the scratch copy"
    build || { echo "the unchanged tree does not build"; exit 1; }
    # A rare timing failure of the unchanged tree gets two more runs; a real one fails all three.
    run_tests || run_tests || run_tests ||
        { echo "the unchanged tree fails its tests: see $scratch/*.log"; exit 1; }
    run_fuzzers || { echo "the unchanged tree fails a fuzz target: see $scratch/fuzz.log"; exit 1; }
    local total=0 caught=0 survivors=() broken=() faults
    # Read whole first, so that editing the list during a run changes nothing.
    mapfile -t faults <"$root/${KV_MUTANTS_LIST:-scripts/mutants.list}"
    for fault in "${faults[@]}"; do
        IFS=$'\t' read -r name file text replacement <<<"$fault"
        [[ -z "$name" || "$name" == \#* ]] && continue
        [[ -n "$filter" && ! "$name" =~ $filter ]] && continue
        local target="$scratch/src/$file"
        cp "$target" "$scratch/original"
        if ! apply "$target" "$text" "$replacement"; then
            broken+=("$name (text not found once in $file)")
            continue
        fi
        local started=$SECONDS verdict
        if ! build; then
            broken+=("$name (does not build)")
            verdict="does not build"
        elif ! run_tests; then
            verdict="caught by $({ grep -m1 -o '^\[  FAILED  \] [^ ]*' "$scratch/wine.log" \
                "$scratch/native.log" || echo "] a time-out"; } | sed 's/.*\] //')"
        elif [[ "$file" == src/apps/kvUsbRedirector/portable/* ]] && ! run_fuzzers; then
            verdict="caught by a fuzz target"
        else
            survivors+=("$name")
            verdict="SURVIVED"
        fi
        cp "$scratch/original" "$target"
        if [ "$verdict" != "does not build" ]; then
            total=$((total + 1))
            [[ "$verdict" == caught* ]] && caught=$((caught + 1))
        fi
        printf '%-60s %s (%d s)\n' "$name" "$verdict" $((SECONDS - started))
        # A transcript that differs: its first lines removed and added, as gtest's diff shows them.
        [[ "$verdict" == "caught by Transcript_test"* ]] &&
            grep -A60 '^With diff:' "$scratch/wine.log" | grep -E '^[-+][^-+"]' | head -n 4 |
            cut -c1-200 | sed 's/^/    /' || true
    done
    build >/dev/null || true
    echo "$caught of $total planted faults caught"
    for s in "${survivors[@]}"; do echo "survived: $s"; done
    for b in "${broken[@]}"; do echo "not run: $b"; done
}

main
