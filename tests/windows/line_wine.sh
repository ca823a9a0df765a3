#!/usr/bin/env bash
# quelmar-cli.exe under Wine reaches the line's database: a private
# PostgreSQL on 127.0.0.1 (tests/line/pg_server.sh) with a password for the
# engineer's role. The tables made, a counter pool and a list pool (CRLF,
# one MAC in two spellings refused) added and listed, the password taken
# from PGPASSWORD and from %APPDATA%\postgresql\pgpass.conf; a wrong one
# refused in one line that holds no password. quelmar-cli.exe alone in a
# folder, without libpq.dll: the line says so in one line, and every other
# command runs as before. With the Linux build's simulator on COM5: a flash
# with a [line] profile takes its board's values from the pools, files its
# record in the database and leaves the board holding what the record says.
#
# Usage: tests/windows/line_wine.sh WINDOWS_BUILD_DIR [HOST_BUILD_DIR]
#   HOST_BUILD_DIR  Linux build with quelmar-sim and quelmar-cli (the board)
# Exit status 77 when quelmar-cli.exe or PostgreSQL's programs are missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prime="$here/../../scripts/wine-prime.sh"
pg_server="$here/../line/pg_server.sh"
win="$(cd "$1" && pwd)"
host="${2:-}"
exe="$win/tools/cli/quelmar-cli.exe"
if [ ! -x "$exe" ] || ! ls /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1; then
  echo "not there: $exe or PostgreSQL's server programs"
  exit 77
fi

work="$(mktemp -d "$win/line.XXXXXX")"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export QUELMAR_PORT_DIR="$work/links"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
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
psql_admin "CREATE ROLE quelmar_station NOLOGIN"
psql_admin "CREATE ROLE quelmar_supervisor NOLOGIN"
psql_admin "CREATE ROLE quelmar_engineer NOLOGIN"
psql_admin "CREATE ROLE engineer LOGIN IN ROLE quelmar_engineer PASSWORD '$secret'"
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
grep -qx "Made the line's tables in $server (schema version 5)." "$work/out" ||
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

# A board flashed with a [line] profile: its values from the pools, its
# record filed in the database, the password from PGPASSWORD only.
sim="$host/tools/sim/quelmar-sim"
if [ -n "$host" ] && [ -x "$sim" ] && [ -x "$host/tools/cli/quelmar-cli" ]; then
  # shellcheck source=wine_e2e_lib.sh
  . "$here/wine_e2e_lib.sh"
  head -c 8192 /dev/urandom >"$work/bank.bin"
  "$host/tools/cli/quelmar-cli" pack-code -o "$work/app.fcode" --bank-a "$work/bank.bin" >/dev/null
  printf '%s\n' 'code = "app.fcode"' 'records = "wine1.jsonl"' '' '[line]' \
    "database = \"$conn\"" 'station = "wine1"' '' \
    '[[field]]' 'name = "serial"' 'at = 0x1A000100' 'overwrite = true' 'pool = "serial"' '' \
    '[[field]]' 'name = "mac"' 'at = 0x1A000110' 'format = "mac"' 'overwrite = true' \
    'pool = "macs"' >"$work/line.toml"
  launch_sim sim_pid "$work/sim.out" --com 5 --erase-ms 10 --dump-code-a "$work/board.a"
  map_com 5 "$launched_pty"
  PGPASSWORD="$secret" run "$work/out" "$work/err" flash COM5 --profile line.toml ||
    fail "flash with [line]: $(cat "$work/out" "$work/err")"
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  record="$("$QUELMAR_PG_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$QUELMAR_PG_SOCKET" \
    -p "$QUELMAR_PG_PORT" -U quelmar -d line3 -c \
    "SELECT station || ' ' || result || ' ' || (record->'fields'->>'serial') || ' ' ||
            (record->'fields'->>'mac') || ' ' || (record->>'id' = id::text) FROM boards")"
  [ "$record" = "wine1 ok 100000 02:51:4D:00:00:01 true" ] || fail "the filed record: $record"
  # The board's bank A holds the serial number (u32le) and the MAC address.
  held="$(od -An -tx1 -j $((0x100)) -N 4 "$work/board.a" | tr -d ' \n')"
  [ "$held" = "a0860100" ] || fail "the board holds serial bytes $held"
  held="$(od -An -tx1 -j $((0x110)) -N 6 "$work/board.a" | tr -d ' \n')"
  [ "$held" = "02514d000001" ] || fail "the board holds MAC bytes $held"
  grep -q '"station":"wine1"' "$work/wine1.jsonl" || fail "records file: $(cat "$work/wine1.jsonl")"
  if grep -rq "$secret" "$work/wine1.jsonl" "$work/line.spool"; then
    fail "the password in a record"
  fi
  echo "flash with [line]: $record"
fi

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
