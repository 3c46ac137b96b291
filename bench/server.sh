#!/usr/bin/env bash
# korvid-server against PostgreSQL on the same table and data: point selects
# by key per second and the time to fetch the whole table. Starts PostgreSQL
# privately (bench/postgres.sh: a non-root user, a UNIX socket in a
# temporary directory, no TCP), starts korvid-server beside it, runs
# bench/server_bench and cleans up. Without PostgreSQL it says so and skips.
# Usage: bench/server.sh [--gateway] [--memory ROWS] [ROWS] [SECONDS]
#        bench/server.sh --limits [ROWS] [SECONDS]
#   (defaults 1000000 and 3)
#   --gateway       only the third column: korvid-server over PostgreSQL
#                   against libpq straight to PostgreSQL
#   --memory ROWS   then a client fetches a table of ROWS rows (10000000,
#                   say) through korvid-server over PostgreSQL, each of the
#                   three ways rows come, and the gateway's peak resident
#                   memory is measured during each fetch
#   --limits        only the cost of the limits: two korvid-servers over the
#                   same SQLite file, one with the time limits at their
#                   defaults and one with every limit off, side by side
#                   (needs no PostgreSQL); with KORVID_SERVER_BEFORE naming
#                   a korvid-server built before the limits, that one
#                   instead of the one with the limits off
# The fetch of the whole table is compared five times over
# (KORVID_BENCH_RUNS) and the median ratio shown beside each run's.
# BUILD_DIR names the build tree; one without a CMakeCache.txt is used as
# it is, without building.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
gateway_only=0
memory_rows=0
limits_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --gateway) gateway_only=1; shift ;;
    --memory) memory_rows=$2; shift 2 ;;
    --limits) limits_only=1; shift ;;
    *) break ;;
  esac
done
rows=${1:-1000000}
# The whole fetches of the first comparison are measured this many times
# over and the medians shown (KORVID_BENCH_RUNS; 5 by default).
runs=${KORVID_BENCH_RUNS:-5}
seconds=${2:-3}
build=${BUILD_DIR:-$root/build}
if [ -e "$build/CMakeCache.txt" ] || [ ! -d "$build" ]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j2 --target korvid-server server_bench >/dev/null
fi

bench_sql() {
  echo "CREATE TABLE bench (id int not null, name char(40), value int);"
  echo "CREATE UNIQUE INDEX pk ON bench (id);"
  seq 1 "$rows" | awk '{ printf "INSERT INTO bench VALUES (%d, '\''name %d'\'', %d);\n", $1, $1, ($1 * 7) % 1000 }'
}

if [ "$limits_only" -eq 1 ]; then
  tmp=$(mktemp -d /tmp/korvid-bench-XXXXXX)
  pids=()
  trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/data"
  echo "Generating $rows rows ..."
  bench_sql >"$tmp/bench.sql"
  for kind in on off; do
    {
      printf '[general]\nmsql_user = %s\nunix_port = %s\ntcp_port = 0\ndb_dir = %s\npid_file = %s\n' \
        "$(id -un)" "$tmp/$kind.sock" "$tmp/data" "$tmp/$kind.pid"
      printf '[system]\n'
      if [ "$kind" = off ] && [ -z "${KORVID_SERVER_BEFORE:-}" ]; then
        printf 'statement_timeout = 0\nidle_timeout = 0\nlogin_timeout = 0\nwrite_timeout = 0\n'
      fi
    } >"$tmp/$kind.conf"
  done
  "$build/server/korvid-server" --conf "$tmp/on.conf" --load bench "$tmp/bench.sql"
  for kind in on off; do
    binary="$build/server/korvid-server"
    [ "$kind" = off ] && [ -n "${KORVID_SERVER_BEFORE:-}" ] && binary=$KORVID_SERVER_BEFORE
    "$binary" --conf "$tmp/$kind.conf" &
    pids+=($!)
    for i in $(seq 50); do [ -S "$tmp/$kind.sock" ] && break; sleep 0.1; done
  done
  MSQL_CONF_FILE="$tmp/on.conf" KORVID_SERVER_PID=${pids[0]} KORVID_OTHER_PID=${pids[1]} \
    "$build/bench/server_bench" --rows "$rows" --seconds "$seconds" \
    --limits "$tmp/off.conf"
  exit 0
fi

. "$root/bench/postgres.sh"
pg_found || exit 0

tmp=$(mktemp -d /tmp/korvid-bench-XXXXXX)
server_pid=""
gateway_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null && wait "$gateway_pid" 2>/dev/null || true
  pg_stop
  rm -rf "$tmp"
}
trap cleanup EXIT

pg_start

if [ "$gateway_only" -eq 0 ]; then
  echo "Generating $rows rows ..."
  bench_sql >"$tmp/bench.sql"

  cat >"$tmp/msql.conf" <<CONF
[general]
msql_user = $(id -un)
unix_port = $tmp/msql.sock
tcp_port = 0
db_dir = $tmp/data
pid_file = $tmp/msql.pid
CONF
  mkdir -p "$tmp/data"
  "$build/server/korvid-server" --conf "$tmp/msql.conf" --port 0 --load bench "$tmp/bench.sql"
  "$build/server/korvid-server" --conf "$tmp/msql.conf" --port 0 &
  server_pid=$!

  "$psql" -q -h "$tmp/pgsock" -U bench -d postgres -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE bench (id int not null, name varchar(40), value int);
INSERT INTO bench SELECT i, 'name ' || i, (i * 7) % 1000 FROM generate_series(1, $rows) AS i;
CREATE UNIQUE INDEX pk ON bench (id);
VACUUM ANALYZE bench;
SQL

  for i in $(seq 50); do [ -S "$tmp/msql.sock" ] && break; sleep 0.1; done
  MSQL_CONF_FILE="$tmp/msql.conf" KORVID_SERVER_PID=$server_pid "$build/bench/server_bench" \
    --pg "$pg_conninfo" --rows "$rows" --seconds "$seconds" --runs "$runs"
  kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  server_pid=""
  echo
fi

# Third column: korvid-server over the same PostgreSQL, against libpq.
"$psql" -q -h "$tmp/pgsock" -U bench -d postgres -c "CREATE DATABASE bench TEMPLATE template0"
"$psql" -q -h "$tmp/pgsock" -U bench -d bench -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE bench (id int not null, name varchar(40), value int);
INSERT INTO bench SELECT i, 'name ' || i, (i * 7) % 1000 FROM generate_series(1, $rows) AS i;
CREATE UNIQUE INDEX pk ON bench (id);
VACUUM ANALYZE bench;
SQL
cat >"$tmp/gateway.conf" <<CONF
[general]
msql_user = $(id -un)
unix_port = $tmp/gateway.sock
tcp_port = 0
pid_file = $tmp/gateway.pid
[postgresql]
conninfo = host=$tmp/pgsock user=bench dbname=postgres
# The benchmark's private role is a superuser; no other client reaches it.
allow_server_file_access = 1
CONF
"$build/server/korvid-server" --conf "$tmp/gateway.conf" --port 0 &
gateway_pid=$!
for i in $(seq 50); do [ -S "$tmp/gateway.sock" ] && break; sleep 0.1; done
MSQL_CONF_FILE="$tmp/gateway.conf" KORVID_SERVER_PID=$gateway_pid "$build/bench/server_bench" \
  --pg "host=$tmp/pgsock user=bench dbname=bench" --rows "$rows" --seconds "$seconds" --gateway

if [ "$memory_rows" -gt 0 ]; then
  echo
  echo "Generating $memory_rows rows in PostgreSQL ..."
  "$psql" -q -h "$tmp/pgsock" -U bench -d bench -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE big (id int not null, name varchar(40), value int);
INSERT INTO big SELECT i, 'name ' || i, (i * 7) % 1000 FROM generate_series(1, $memory_rows) AS i;
VACUUM ANALYZE big;
SQL
  MSQL_CONF_FILE="$tmp/gateway.conf" KORVID_SERVER_PID=$gateway_pid "$build/bench/server_bench" \
    --pg "host=$tmp/pgsock user=bench dbname=bench" --rows "$memory_rows" --memory big
fi
