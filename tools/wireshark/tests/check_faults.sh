#!/usr/bin/env bash
# Reads the hand-made capture of a stick in trouble (make_fault_capture.py) through the dissector:
# each record's operation, expert infos and summary must be those of faults.golden.
# Usage: check_faults.sh TSHARK DISSECTOR PYTHON TESTS_DIR WORK_DIR
set -euo pipefail
tshark=$1 dissector=$2 python=$3 tests=$4 work=$5
mkdir -p "$work"
"$python" "$tests/make_fault_capture.py" "$work/faults.pcap"
"$tshark" -2 -n -X "lua_script:$dissector" -r "$work/faults.pcap" -Y kvsbda -T fields \
    -E aggregator="; " -e kvsbda.op -e _ws.expert.message -e _ws.col.Info >"$work/faults.reading"
if [ "${KVSBDA_UPDATE_GOLDENS:-0}" = 1 ]; then
    cp "$work/faults.reading" "$tests/faults.golden"
    echo "wrote $tests/faults.golden"
    exit 0
fi
diff -u "$tests/faults.golden" "$work/faults.reading"
echo "faults: every fault raised its expert info"
