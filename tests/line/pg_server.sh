#!/usr/bin/env bash
# A private PostgreSQL for one test program, on a loopback port and a
# socket folder of its own, never the machine's own server.
#   pg_server.sh start ENV_FILE   initdb into a new folder under /tmp, start
#                                 the server, write what the tests need to
#                                 ENV_FILE (shell variables)
#   pg_server.sh stop ENV_FILE    stop it and remove the folder
# Tests run it without flushes to disk (nothing here outlives the test);
# QUELMAR_PG_FSYNC=on keeps them, as a benchmark needs.
# PostgreSQL refuses to run as root: as root, the server runs as the
# postgres user (through runuser).
set -euo pipefail
action="$1"
env_file="$2"

bin="${QUELMAR_PG_BIN:-}"
if [ -z "$bin" ]; then
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
fi
[ -x "$bin/pg_ctl" ] || { echo "pg_server: no PostgreSQL server programs (postgresql-15)" >&2; exit 1; }

as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

stop() {
  [ -f "$env_file" ] || return 0
  # shellcheck disable=SC1090
  . "$env_file"
  if [ -n "${QUELMAR_PG_DIR:-}" ] && [ -d "$QUELMAR_PG_DIR" ]; then
    as_server "$bin/pg_ctl" -D "$QUELMAR_PG_DIR/data" -m immediate -w -t 30 stop \
      >/dev/null 2>&1 || true
    rm -rf "$QUELMAR_PG_DIR"
  fi
  rm -f "$env_file"
}

if [ "$action" = stop ]; then
  stop
  exit 0
fi
[ "$action" = start ] || { echo "usage: pg_server.sh start|stop ENV_FILE" >&2; exit 2; }

# A server an earlier run left behind (ctest killed) goes first.
stop
dir=$(mktemp -d /tmp/quelmar-pg.XXXXXX)
chmod 755 "$dir"
mkdir "$dir/data" "$dir/sock"
if [ "$(id -u)" -eq 0 ]; then chown postgres: "$dir/data" "$dir/sock"; fi
chmod 700 "$dir/data"
as_server "$bin/initdb" -D "$dir/data" -U quelmar -E UTF8 --locale=C.UTF-8 --no-sync \
  --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }

durability="-c fsync=off -c full_page_writes=off"
if [ "${QUELMAR_PG_FSYNC:-}" = on ]; then durability=""; fi

# A free port: the server is tried on a few random ones.
started=""
for _ in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 40000))
  if as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/sock/server.log" -w -t 60 \
       -o "-p $port -k $dir/sock -c listen_addresses=127.0.0.1 $durability \
           -c max_connections=60 -c shared_buffers=32MB" \
       start >/dev/null 2>&1; then
    started=1
    break
  fi
done
if [ -z "$started" ]; then
  cat "$dir/sock/server.log" >&2 || true
  rm -rf "$dir"
  echo "pg_server: the server did not start" >&2
  exit 1
fi
cat >"$env_file" <<ENV
QUELMAR_PG_DIR=$dir
QUELMAR_PG_SOCKET=$dir/sock
QUELMAR_PG_PORT=$port
QUELMAR_PG_BIN=$bin
ENV
echo "pg_server: PostgreSQL on 127.0.0.1:$port, $dir"
