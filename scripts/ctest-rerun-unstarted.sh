#!/bin/bash
# Runs the ctest suite of a build folder. A failed test whose process printed nothing (Wine did
# not start it) is run again, at most twice; any other failure fails the run at once.
# Usage: ctest-rerun-unstarted.sh <build-dir>
set -uo pipefail
build_dir=$1
# ctest takes a relative junit path from the test folder.
junit=$(realpath "$build_dir")/ctest-results.xml
filter=()
for attempt in 0 1 2; do
    ctest --test-dir "$build_dir" --output-on-failure --timeout 300 --output-junit "$junit" \
        "${filter[@]}" && exit 0
    # One line per failed test: "ran <name>" when it printed anything, else "unstarted <name>".
    mapfile -t failed < <(python3 - "$junit" <<'PY'
import sys, xml.etree.ElementTree as ET
for case in ET.parse(sys.argv[1]).getroot().iter('testcase'):
    if case.get('status') != 'fail' and case.find('failure') is None:
        continue
    out = ''.join(e.text or '' for e in case.iter('system-out'))
    print(('ran ' if out.strip() else 'unstarted ') + case.get('name'))
PY
)
    if [ ${#failed[@]} -eq 0 ] || printf '%s\n' "${failed[@]}" | grep -q '^ran '; then
        echo "failed tests ran: not retried"
        exit 1
    fi
    names=$(printf '%s\n' "${failed[@]}" | sed 's/^unstarted //; s/.*/^&$/' | paste -sd'|')
    echo "rerunning tests that never started: $names"
    filter=(-R "$names")
done
exit 1
