#!/usr/bin/env bash
# Remakes docs/main-dialog.png, the README's picture of the main dialog after
# a code and a data flash update: the GUI test that drives both updates
# against the simulated board (offscreen) grabs the dialog into it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target gui_dialog quelmar quelmar-sim
out=$(pwd)/docs/main-dialog.png
rm -f "$out"
QUELMAR_SCREENSHOT=$out ctest --preset default \
  -R '^MainDialog\.CodeAndDataUpdatesThroughTheButtonsReachTheSimulatedFlash$'
[ -s "$out" ] || { echo "the test wrote no $out" >&2; exit 1; }
file "$out"
