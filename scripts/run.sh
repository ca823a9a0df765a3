#!/usr/bin/env bash
# Installs what is needed, builds, and identifies a board.
# Usage: scripts/run.sh [PORT]
#   With PORT (COM3, 3 or /dev/ttyUSB0) it talks to that board; without,
#   it starts the simulated board and talks to it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quelmar-cli quelmar-sim

cli=build/default/tools/cli/quelmar-cli
if [ $# -gt 0 ]; then
  exec "$cli" identify "$1"
fi

sim_out=$(mktemp)
build/default/tools/sim/quelmar-sim --quiet >"$sim_out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 50); do [ -s "$sim_out" ] && break; sleep 0.1; done
device=$(head -n1 "$sim_out")
echo "Simulated board on $device"
"$cli" identify "$device"
