#!/usr/bin/env bash
# korvid-server against PostgreSQL on the same table and data: point selects
# by key per second and the time to fetch the whole table. Installs
# PostgreSQL from Debian if missing, starts it privately (a non-root user, a
# UNIX socket in a temporary directory, no TCP), starts korvid-server beside
# it, runs bench/server_bench and cleans up.
# Usage: bench/server.sh [ROWS] [SECONDS]   (defaults 1000000 and 3)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rows=${1:-1000000}
seconds=${2:-3}
build=${BUILD_DIR:-$root/build}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || [ ! -e /usr/lib/x86_64-linux-gnu/libpq.so.5 ]; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends postgresql libpq5
fi
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target korvid-server server_bench >/dev/null

tmp=$(mktemp -d /tmp/korvid-bench-XXXXXX)
chmod 755 "$tmp"
server_pid=""
pg_user=$(id -un)
run_pg() { "$@"; }
if [ "$(id -u)" -eq 0 ]; then
  # PostgreSQL refuses to run as root: use an unprivileged account.
  pg_user=korvidbench
  id -u "$pg_user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$pg_user"
  run_pg() { runuser -u "$pg_user" -- "$@"; }
fi
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  run_pg "$pgbin/pg_ctl" -D "$tmp/pg" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "Generating $rows rows ..."
{
  echo "CREATE TABLE bench (id int not null, name char(40), value int);"
  echo "CREATE UNIQUE INDEX pk ON bench (id);"
  seq 1 "$rows" | awk '{ printf "INSERT INTO bench VALUES (%d, '\''name %d'\'', %d);\n", $1, $1, ($1 * 7) % 1000 }'
} >"$tmp/bench.sql"

cat >"$tmp/msql.conf" <<CONF
[general]
unix_port = $tmp/msql.sock
tcp_port = 0
db_dir = $tmp/data
pid_file = $tmp/msql.pid
CONF
mkdir -p "$tmp/data"
"$build/server/korvid-server" --conf "$tmp/msql.conf" --port 0 --load bench "$tmp/bench.sql"
"$build/server/korvid-server" --conf "$tmp/msql.conf" --port 0 &
server_pid=$!

echo "Starting PostgreSQL ($pgbin) ..."
mkdir -p "$tmp/pg" "$tmp/pgsock"
chown "$pg_user" "$tmp/pg" "$tmp/pgsock"
run_pg "$pgbin/initdb" -D "$tmp/pg" -U bench --auth=trust >/dev/null
run_pg "$pgbin/pg_ctl" -D "$tmp/pg" -l "$tmp/pgsock/log" -w \
  -o "-k $tmp/pgsock -c listen_addresses= -c fsync=off" start >/dev/null
psql="$pgbin/psql"
[ -x "$psql" ] || psql=psql
"$psql" -q -h "$tmp/pgsock" -U bench -d postgres -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE bench (id int not null, name varchar(40), value int);
INSERT INTO bench SELECT i, 'name ' || i, (i * 7) % 1000 FROM generate_series(1, $rows) AS i;
CREATE UNIQUE INDEX pk ON bench (id);
VACUUM ANALYZE bench;
SQL

for i in $(seq 50); do [ -S "$tmp/msql.sock" ] && break; sleep 0.1; done
MSQL_CONF_FILE="$tmp/msql.conf" KORVID_SERVER_PID=$server_pid "$build/bench/server_bench" \
  --pg "host=$tmp/pgsock user=bench dbname=postgres" --rows "$rows" --seconds "$seconds"
