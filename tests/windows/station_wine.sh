#!/usr/bin/env bash
# quelmar-cli.exe station under Wine serves the dashboard: the state and the
# page over HTTP, the page as Linux's Chromium renders it (a tile for the
# profile's port, drawn by the page's script from the event stream), the
# refusal of a control without its token, and Stop ending the station.
#
# Usage: tests/windows/station_wine.sh WINDOWS_BUILD_DIR
# Exit status 77 when quelmar-cli.exe or Chromium is missing (skipped).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prime="$here/../../scripts/wine-prime.sh"
win="$(cd "$1" && pwd)"
exe="$win/tools/cli/quelmar-cli.exe"
if [ ! -x "$exe" ] || ! command -v chromium >/dev/null || ! command -v chromedriver >/dev/null; then
  echo "not there: $exe, chromium or chromedriver"
  exit 77
fi

work="$(mktemp -d "$win/station.XXXXXX")"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
station_pid=""
cleanup() {
  if [ -n "$station_pid" ]; then kill "$station_pid" 2>/dev/null || true; fi
  "$prime" --stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -f "$work/station.out" ] && cat "$work/station.out"
  exit 1
}

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
token="wine-token-0123456789"
cat >"$work/line.toml" <<TOML
name = "Wine line"
ports = ["COM9"]
reboot = true
listen = "127.0.0.1:$port"
token = "$token"
TOML

"$prime"
(cd "$work" && exec wine "$exe" station 'Z:'"${work//\//\\}"'\line.toml' </dev/null >"$work/station.out" 2>&1) &
station_pid=$!

# http METHOD PATH [HEADER...]: prints the status, then the body.
http() {
  /usr/bin/python3 - "$@" <<'PY'
import sys, urllib.request, urllib.error
method, url, headers = sys.argv[1], sys.argv[2], sys.argv[3:]
req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
for h in headers:
    k, v = h.split(": ", 1)
    req.add_header(k, v)
try:
    with urllib.request.urlopen(req, timeout=5) as r:
        print(r.status); print(r.headers.get("Content-Security-Policy")); print(r.read().decode())
except urllib.error.HTTPError as e:
    print(e.code); print(e.headers.get("Content-Security-Policy")); print(e.read().decode())
except OSError:
    print(0)
PY
}

base="http://127.0.0.1:$port"
for _ in $(seq 1 120); do
  answer=$(http GET "$base/api/state")
  [ "$(head -1 <<<"$answer")" = 200 ] && break
  kill -0 "$station_pid" 2>/dev/null || fail "the station ended before serving"
  sleep 0.5
done
state=$(http GET "$base/api/state")
[ "$(head -1 <<<"$state")" = 200 ] || fail "gave up waiting for the dashboard under Wine"
grep -q '"port":"COM9"' <<<"$state" || fail "no slot for COM9: $state"
grep -q '"profile":"Wine line"' <<<"$state" || fail "profile name: $state"
page=$(http GET "$base/")
grep -q "default-src 'self'" <<<"$page" || fail "no Content-Security-Policy on the page"
grep -q '<main id="slots">' <<<"$page" || fail "the page: $page"

# The page as Chromium renders it: its script fills the tiles from the
# event stream.
/usr/bin/python3 "$here/../browser/page_shows.py" "$base/" COM9 "Wine line" ||
  fail "Chromium did not show the page's tile"

answer=$(http POST "$base/api/stop")
[ "$(head -1 <<<"$answer")" = 401 ] || fail "stop without the token was not refused: $answer"
answer=$(http POST "$base/api/stop" "X-Quelmar-Token: $token")
[ "$(head -1 <<<"$answer")" = 200 ] || fail "stop with the token: $answer"
for _ in $(seq 1 60); do
  kill -0 "$station_pid" 2>/dev/null || break
  sleep 0.5
done
kill -0 "$station_pid" 2>/dev/null && fail "gave up waiting for the station to end after Stop"
wait "$station_pid" || true
station_pid=""
grep -q "Boards: 0 OK, 0 failed" "$work/station.out" || fail "no summary"
echo "PASS: quelmar-cli.exe station serves the dashboard under Wine"
