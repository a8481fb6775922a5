#!/usr/bin/env bash
# The main job: builds the host release and watches a channel of the simulated air with
# kvsbda-sim: tune to 474,000 kHz, receive the transport stream for five seconds into
# build/watch.ts, and report what arrived. Extra arguments replace that command line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target kvsbda-sim -j2

if [ $# -eq 0 ]; then
    set -- watch --frequency 474000 --seconds 5 --output build/watch.ts
fi
exec build/host-release/tools/kvsbda-sim/kvsbda-sim "$@"
