#!/usr/bin/env bash
# Makes the release files in dist/: quelmar_<version>_amd64.deb from the
# Linux build (build/default) and quelmar-<version>-win64.zip from the
# Windows build (build/mingw), after running the test suite, and checks
# both (scripts/check-deb.sh, scripts/check-zip.sh; lintian's output goes
# to dist/lintian.txt).
# Usage: scripts/package.sh [--skip-tests]
#   --skip-tests: the suites have just run on these builds (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--skip-tests" ]; then
  scripts/deps.sh
else
  scripts/test.sh
fi

jobs=$(nproc)
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"

rm -rf dist build/default/packages build/mingw/packages
mkdir -p dist
(cd build/default && cpack -G DEB >/dev/null)
(cd build/mingw && cpack >/dev/null)
cp build/default/packages/quelmar_*_amd64.deb build/mingw/packages/quelmar-*-win64.zip dist/

scripts/check-deb.sh dist/quelmar_*_amd64.deb
scripts/check-zip.sh dist/quelmar-*-win64.zip
ls -l dist/
