#!/usr/bin/env bash
# Installs what is needed, builds, and brings up the desktop program with a
# simulated board on COM99 and two sample images to flash.
# Usage: scripts/run.sh [PORT]
#   With PORT (COM3, 3 or /dev/ttyUSB0) it identifies that board with
#   quelmar-cli instead. Without a display it says so and identifies the
#   simulated board with quelmar-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quelmar quelmar-cli quelmar-sim

build=build/default
cli=$build/tools/cli/quelmar-cli
if [ $# -gt 0 ]; then
  exec "$cli" identify "$1"
fi

# Sample images: a code image for both banks and a data image.
samples=$build/samples
mkdir -p "$samples"
if [ ! -f "$samples/sample.fcode" ] || [ ! -f "$samples/sample.fdata" ]; then
  head -c 200000 /dev/urandom >"$samples/bank-a.bin"
  head -c 60000 /dev/urandom >"$samples/bank-b.bin"
  head -c 20000 /dev/urandom >"$samples/data.bin"
  "$cli" pack-code -o "$samples/sample.fcode" --bank-a "$samples/bank-a.bin" \
    --bank-b "$samples/bank-b.bin" >/dev/null
  "$cli" pack-data -o "$samples/sample.fdata" "$samples/data.bin" >/dev/null
fi

com=99
sim_out=$(mktemp)
$build/tools/sim/quelmar-sim --com "$com" --quiet >"$sim_out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 50); do [ -s "$sim_out" ] && break; sleep 0.1; done
device=$(head -n1 "$sim_out")
[ -n "$device" ] || { echo "The simulated board did not start." >&2; exit 1; }
echo "Simulated board on $device as COM$com."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the desktop program"
  echo "cannot start here. Identifying the simulated board with quelmar-cli instead:"
  "$cli" identify "COM$com"
  exit
fi

echo "Starting quelmar: pick \"COM $com\", then Open Code File ($samples/sample.fcode)"
echo "and Update Code. Exit closes the program and the simulated board."
gui=$(pwd)/$build/src/ui/quelmar
(cd "$samples" && "$gui")
