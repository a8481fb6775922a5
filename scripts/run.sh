#!/usr/bin/env bash
# The main job: builds the host release and plugs a simulated stick into the driver with
# kvsbda-sim. Extra arguments replace the default command line of kvsbda-sim ("plug").
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target kvsbda-sim -j2

if [ $# -eq 0 ]; then
    set -- plug
fi
exec build/host-release/tools/kvsbda-sim/kvsbda-sim "$@"
