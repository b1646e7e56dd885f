#!/bin/bash
# Builds the libFuzzer targets of the portable code with ASan and UBSan and runs each for the
# given seconds (default 20) on a scratch copy of its seed corpus, so the seeds in the repo stay
# as make_seeds.py wrote them. Exits non-zero when a target crashes; its input stays in
# build/fuzz/artifacts/<target>/.
# Usage: fuzz.sh [seconds] [target...]
# KV_FUZZ_SOURCE names another tree to build (a copy with a planted fault), KV_FUZZ_BUILD
# another output directory.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kv_require_packages "${KV_FUZZ_PACKAGES[@]}"

seconds=${1:-20}
shift || true
targets=("$@")
src=${KV_FUZZ_SOURCE:-.}
out=${KV_FUZZ_BUILD:-build/fuzz}
if [ ${#targets[@]} -eq 0 ]; then
    for source in "$src"/fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi
CXX=${KV_FUZZ_CXX:-clang++-14}
portable=$src/src/apps/kvUsbRedirector/portable
mkdir -p "$out"

for target in "${targets[@]}"; do
    "$CXX" -std=c++20 -O1 -g -Wall -Wextra -fno-omit-frame-pointer \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -I "$src/src/apps/kvUsbRedirector" -I "$src/fuzz" \
        "$src/fuzz/$target.cpp" "$portable/frame.cpp" "$portable/device_record.cpp" \
        "$portable/completion.cpp" "$portable/device_rules.cpp" -o "$out/$target"
done

failed=0
for target in "${targets[@]}"; do
    corpus="$out/corpus/$target"
    artifacts="$out/artifacts/$target"
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp "$src"/fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    log="$out/$target.log"
    result=ok
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || result=failed
    artifact=$(find "$artifacts" -type f | head -1)
    # The artifact's prefix says what went wrong: crash, timeout, oom or leak.
    [ -z "$artifact" ] || result=$(basename "$artifact" | cut -d- -f1)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    files=$(find "$corpus" -type f | wc -l)
    printf '%-18s runs %-10s exec/s %-8s corpus %-5s %s\n' "$target" "${runs:-?}" \
        "${rate:-?}" "$files" "$result"
    if [ "$result" != ok ]; then
        failed=1
        grep -m1 -A20 -E 'ERROR: |runtime error|check failed' "$log" || tail -20 "$log"
        echo "log: $log, input: ${artifact:-none}"
    fi
done
exit $failed
