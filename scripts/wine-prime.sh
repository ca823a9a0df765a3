#!/usr/bin/env bash
# Readies the Wine prefix the Windows tests run in ($WINEPREFIX, a throw-away
# one under the build folder), or with --stop ends its wineserver.
#
# The first program started in a fresh prefix launches Wine's background
# services, and they keep that program's stdout and stderr open: a test
# harness reading the pipe to its end would wait for them forever. So a
# persistent wineserver is started and the prefix is booted here, with
# every stream on /dev/null, before any test runs.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the throw-away prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"

if [ "${1:-}" = "--stop" ]; then
  wineserver -k </dev/null >/dev/null 2>&1 || true
  exit 0
fi

mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wineboot --init </dev/null >/dev/null 2>&1
# Let the boot finish its registry work before the tests start.
timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1
