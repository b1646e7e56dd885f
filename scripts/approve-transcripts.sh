#!/bin/bash
# Records the sessions' transcripts anew into tests/golden and shows how they differ from the
# approved ones. Read the diff: commit it when every change is meant, otherwise fix the program.
# Usage: approve-transcripts.sh [build-dir]   (default build/win, configured as scripts/test.sh does)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/win}
cmake --build "$build" -j2 --target kv_win_tests kvUsbRedirector
KV_APPROVE_TRANSCRIPTS=1 xvfb-run -a scripts/wine-env.sh "$build" \
    ctest --test-dir "$build" -R '^Transcript_test\.' --output-on-failure || true
git add -N tests/golden
git --no-pager diff --stat -- tests/golden
git --no-pager diff -- tests/golden
