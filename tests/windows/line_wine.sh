#!/usr/bin/env bash
# quelmar-cli.exe under Wine reaches the line's database: a private
# PostgreSQL on 127.0.0.1 (tests/line/pg_server.sh) with a password for the
# engineer's role. The tables made, a counter pool and a list pool (CRLF,
# one MAC in two spellings refused) added and listed, the password taken
# from PGPASSWORD and from %APPDATA%\postgresql\pgpass.conf; a wrong one
# refused in one line that holds no password. quelmar-cli.exe alone in a
# folder, without libpq.dll: the line says so in one line, and every other
# command runs as before.
#
# Usage: tests/windows/line_wine.sh WINDOWS_BUILD_DIR
# Exit status 77 when quelmar-cli.exe or PostgreSQL's programs are missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prime="$here/../../scripts/wine-prime.sh"
pg_server="$here/../line/pg_server.sh"
win="$(cd "$1" && pwd)"
exe="$win/tools/cli/quelmar-cli.exe"
if [ ! -x "$exe" ] || ! ls /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1; then
  echo "not there: $exe or PostgreSQL's server programs"
  exit 77
fi

work="$(mktemp -d "$win/line.XXXXXX")"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
cleanup() {
  "$pg_server" stop "$work/pg.env" || true
  "$prime" --stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

"$pg_server" start "$work/pg.env"
# shellcheck disable=SC1091
. "$work/pg.env"
secret="Eng-Secret-4W"
psql_admin() {
  "$QUELMAR_PG_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$QUELMAR_PG_SOCKET" \
    -p "$QUELMAR_PG_PORT" -U quelmar -d postgres -c "$1"
}
psql_admin "CREATE ROLE engineer LOGIN PASSWORD '$secret'"
psql_admin "CREATE DATABASE line3 OWNER engineer"
conn="host=127.0.0.1 port=$QUELMAR_PG_PORT user=engineer dbname=line3"
server="engineer@127.0.0.1:$QUELMAR_PG_PORT/line3"

"$prime"
# run OUT ERR ARGS...: quelmar-cli.exe in the work folder; its status.
run() {
  local out="$1" err="$2" status=0
  shift 2
  (cd "$work" && timeout 120 wine "$exe" "$@" </dev/null >"$out" 2>"$err") || status=$?
  if grep -q "$secret\|Wrong-Pass" "$out" "$err"; then fail "a password in the output of $*"; fi
  return $status
}

PGPASSWORD="$secret" run "$work/out" "$work/err" line init --db "$conn" ||
  fail "line init: $(cat "$work/err")"
grep -qx "Made the line's tables in $server (schema version 1)." "$work/out" ||
  fail "line init said: $(cat "$work/out")"
PGPASSWORD="$secret" run "$work/out" "$work/err" line pool add serial --format u32le \
  --start 100000 --db "$conn" || fail "pool add serial: $(cat "$work/err")"

printf '02:51:4D:00:00:01\r\n02-51-4d-00-00-01\r\n' >"$work/twice.txt"
status=0
PGPASSWORD="$secret" run "$work/out" "$work/err" line pool add macs --format mac \
  --list 'Z:'"${work//\//\\}"'\twice.txt' --db "$conn" || status=$?
[ $status -eq 1 ] || fail "a MAC in two spellings: exit $status"
grep -q "lines 1 and 2 hold the same value, 02:51:4D:00:00:01" "$work/err" ||
  fail "a MAC in two spellings: $(cat "$work/err")"

printf '02:51:4D:00:00:01\r\n02:51:4D:00:00:02\r\n' >"$work/macs.txt"
PGPASSWORD="$secret" run "$work/out" "$work/err" line pool add macs --format mac \
  --list 'Z:'"${work//\//\\}"'\macs.txt' --db "$conn" || fail "pool add macs: $(cat "$work/err")"

# The password file where libpq looks for it on Windows.
appdata="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming"
[ -d "$appdata" ] || fail "no AppData folder in the Wine prefix"
mkdir -p "$appdata/postgresql"
printf '127.0.0.1:%s:line3:engineer:%s\r\n' "$QUELMAR_PG_PORT" "$secret" \
  >"$appdata/postgresql/pgpass.conf"
run "$work/out" "$work/err" line pools --db "$conn" || fail "line pools: $(cat "$work/err")"
grep -Eq '^serial +counter +u32le +[0-9]+ +0 +0 +0 +100000 +4294967295$' "$work/out" ||
  fail "line pools: $(cat "$work/out")"
grep -Eq '^macs +list +mac +2 +0 +0 +0 +- +-$' "$work/out" || fail "line pools: $(cat "$work/out")"
rm "$appdata/postgresql/pgpass.conf"

status=0
PGPASSWORD="Wrong-Pass-3" run "$work/out" "$work/err" line pools --db "$conn" || status=$?
[ $status -eq 1 ] || fail "a wrong password: exit $status"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "a wrong password: $(cat "$work/err")"
grep -q "cannot connect to the line's database $server: password authentication failed" \
  "$work/err" || fail "a wrong password: $(cat "$work/err")"

# quelmar-cli.exe without the DLLs beside it.
mkdir "$work/alone"
cp "$exe" "$work/alone/"
status=0
(cd "$work" && timeout 120 wine "$work/alone/quelmar-cli.exe" line pools --db "$conn" \
  </dev/null >"$work/out" 2>"$work/err") || status=$?
[ $status -eq 1 ] || fail "without libpq.dll: exit $status"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "without libpq.dll: $(cat "$work/err")"
grep -q "quelmar-cli: cannot load libpq.dll beside quelmar-cli.exe (error 126" "$work/err" ||
  fail "without libpq.dll: $(cat "$work/err")"
(cd "$work" && timeout 120 wine "$work/alone/quelmar-cli.exe" --version </dev/null \
  >"$work/out" 2>&1) || fail "without libpq.dll, --version failed"
grep -q "^quelmar-cli " "$work/out" || fail "--version: $(cat "$work/out")"
echo "PASS: quelmar-cli.exe reaches the line's database under Wine"
