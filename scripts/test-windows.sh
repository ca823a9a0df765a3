#!/usr/bin/env bash
# Cross-builds quelmar-cli.exe and the unit tests for 64-bit Windows with
# MinGW-w64 and runs them under Wine (in a throw-away prefix in
# build/mingw). The end-to-end test against the simulator needs the Linux
# build (build/default) as well; without it that test is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"
ctest --preset mingw -j"$jobs"

# The zip a Windows user downloads, and what it must hold.
rm -rf build/mingw/packages
(cd build/mingw && cpack >/dev/null)
scripts/check-zip.sh build/mingw/packages/quelmar-*-win64.zip build/mingw
