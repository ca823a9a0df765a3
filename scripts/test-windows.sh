#!/usr/bin/env bash
# Cross-builds quelmar.exe, quelmar-cli.exe and the unit tests for 64-bit
# Windows with MinGW-w64 and runs them under Wine (in a throw-away prefix in
# build/mingw) on an X display. The end-to-end tests against the simulator
# need the Linux build (build/default) as well; without it they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"
# The Win32 view's tests make windows: they need an X display, a virtual
# one when there is none (the GUI end-to-end test makes its own).
if [ -n "${DISPLAY:-}" ]; then
  ctest --preset mingw -j"$jobs"
else
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" ctest --preset mingw -j"$jobs"
fi

# The zip a Windows user downloads, and what it must hold.
rm -rf build/mingw/packages
(cd build/mingw && cpack >/dev/null)
scripts/check-zip.sh build/mingw/packages/quelmar-*-win64.zip
