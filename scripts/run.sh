#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program. Without a hub at
# hand the demo (the same window over a virtual hub) is started; pass --real to
# start the updater against the hubs that are plugged in.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVI_BUILD_TESTS=OFF -DQUORVI_BUILD_BENCH=OFF >/dev/null
cmake --build build/release

program=build/release/app/quorvi-hub-updater
if [ "${1:-}" != "--real" ] && [ -x build/release/app/quorvi-hub-updater-demo ]; then
    program=build/release/app/quorvi-hub-updater-demo
fi
exec "$program"
