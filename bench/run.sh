#!/usr/bin/env bash
# Builds the default preset's benchmark and runs it. Options pass through
# (--quick: the paced run writes 256 blocks instead of a whole bank).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target update_bench -j2
exec build/default/bench/update_bench "$@"
