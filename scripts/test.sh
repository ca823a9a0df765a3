#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite:
# the release build, then the AddressSanitizer/UBSan build.
# Usage: scripts/test.sh [--quick]   (--quick: the release build only)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

[ "${1:-}" = "--quick" ] && exit 0

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"
