#!/usr/bin/env bash
# Show All and the choice of a table on big tables, in one run: 1,000,000
# rows over SQLite, the same 1,000,000 rows over PostgreSQL, and 10,000,000
# rows over PostgreSQL in a table shaped as pgbench's accounts (an int key,
# two ints and a char(84) filler left empty), each through bench/show_all
# beside the way the program did it before rows were read as they arrive.
# The data is made once and kept in $KORVID_BENCH_DATA (default
# /tmp/korvid-bench-data): a SQLite file and a PostgreSQL cluster
# (bench/postgres.sh) that later runs start again. Each korvid-server runs
# without its statement time limit (statement_timeout = 0): the limit
# cancelled a Show All of 1,000,000 rows on a machine loaded by other
# builds, and here the fetch itself is measured.
# Usage: bench/show_all.sh [RUNS] [RUNS_AT_10M]   (defaults 3 and 1)
#   ROWS and BIG_ROWS override the two sizes (data made again under new
#   names when they change). BUILD_DIR names the build tree; one without a
#   CMakeCache.txt is used as it is, without building.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=${1:-3}
big_runs=${2:-1}
rows=${ROWS:-1000000}
big_rows=${BIG_ROWS:-10000000}
build=${BUILD_DIR:-$root/build}
data=${KORVID_BENCH_DATA:-/tmp/korvid-bench-data}
if [ -e "$build/CMakeCache.txt" ] || [ ! -d "$build" ]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j2 --target korvid-server show_all >/dev/null
fi

. "$root/bench/postgres.sh"
pg_found || exit 0

mkdir -p "$data"
tmp=$(mktemp -d /tmp/korvid-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  pg_stop
  rm -rf "$tmp"
}
trap cleanup EXIT

# The databases are named by their sizes, so that other sizes never read
# data made for these.
db="bench_$rows"
big_table="accounts_$big_rows"

# Over SQLite: the table big of show_all's own default run, and an empty
# one of the same columns.
write_conf() {  # NAME DATA_DIR [more lines]
  printf '[general]\nmsql_user = %s\nunix_port = %s\ntcp_port = 0\ndb_dir = %s\npid_file = %s\n' \
    "$(id -un)" "$tmp/$1.sock" "$2" "$tmp/$1.pid"
  printf '[system]\nstatement_timeout = 0\n'
  shift 2
  printf '%s\n' "$@"
}
mkdir -p "$data/sqlite"
write_conf sqlite "$data/sqlite" >"$tmp/sqlite.conf"
if [ ! -e "$data/sqlite/$db.ready" ]; then
  echo "Making $rows rows over SQLite (once, kept in $data) ..."
  {
    echo "CREATE TABLE big (id int not null, name char(20), city char(16), amount real, note text(30));"
    echo "CREATE UNIQUE INDEX big_id ON big (id);"
    echo "CREATE TABLE big_empty (id int not null, name char(20), city char(16), amount real, note text(30));"
    echo "CREATE UNIQUE INDEX big_empty_id ON big_empty (id);"
    seq 1 "$rows" | awk 'BEGIN { split("Oslo Berlin Hamburg Lisboa Dublin Warszawa", c, " ") }
      { printf "INSERT INTO big VALUES (%d, '\''Name number %d'\'', '\''%s'\'', %d.%02d, '\''note of row %d'\'');\n",
        $1, $1, c[$1 % 6 + 1], $1 % 10000, $1 % 100, $1 }'
  } >"$tmp/big.sql"
  "$build/server/korvid-server" --conf "$tmp/sqlite.conf" --load "$db" "$tmp/big.sql"
  rm -f "$tmp/big.sql"
  touch "$data/sqlite/$db.ready"
fi

pg_start "$data"
if [ ! -e "$data/$db-$big_table.ready" ]; then
  echo "Making $rows and $big_rows rows over PostgreSQL (once, kept in $data) ..."
  "$psql" -q -h "$data/pgsock" -U bench -d postgres -c "DROP DATABASE IF EXISTS $db"
  "$psql" -q -h "$data/pgsock" -U bench -d postgres -c "CREATE DATABASE $db TEMPLATE template0"
  "$psql" -q -h "$data/pgsock" -U bench -d "$db" -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE big (id int not null, name varchar(20), city varchar(16), amount real, note varchar(30));
INSERT INTO big SELECT i, 'Name number ' || i,
  (ARRAY['Oslo', 'Berlin', 'Hamburg', 'Lisboa', 'Dublin', 'Warszawa'])[i % 6 + 1],
  (i % 10000) + (i % 100) / 100.0, 'note of row ' || i FROM generate_series(1, $rows) AS i;
CREATE UNIQUE INDEX big_id ON big (id);
CREATE TABLE big_empty (LIKE big);
CREATE UNIQUE INDEX big_empty_id ON big_empty (id);
CREATE TABLE $big_table (aid int not null, bid int, abalance int, filler char(84));
INSERT INTO $big_table SELECT aid, (aid - 1) / 100000 + 1, 0, '' FROM generate_series(1, $big_rows) AS aid;
ALTER TABLE $big_table ADD PRIMARY KEY (aid);
CREATE TABLE ${big_table}_empty (LIKE $big_table);
ALTER TABLE ${big_table}_empty ADD PRIMARY KEY (aid);
VACUUM ANALYZE;
SQL
  touch "$data/$db-$big_table.ready"
fi
mkdir -p "$tmp/none"
write_conf pg "$tmp/none" "[postgresql]" "conninfo = $pg_conninfo" \
  "# The benchmark's private role is a superuser; no other client reaches it." \
  "allow_server_file_access = 1" >"$tmp/pg.conf"

for kind in sqlite pg; do
  "$build/server/korvid-server" --conf "$tmp/$kind.conf" &
  pids+=($!)
  for i in $(seq 100); do [ -S "$tmp/$kind.sock" ] && break; sleep 0.1; done
done

echo
echo "== $rows rows over SQLite"
"$build/bench/show_all" --server "$tmp/sqlite.conf" "$db" big big_empty --runs "$runs"
echo
echo "== $rows rows over PostgreSQL"
"$build/bench/show_all" --server "$tmp/pg.conf" "$db" big big_empty --runs "$runs"
echo
echo "== $big_rows rows over PostgreSQL, as pgbench's accounts"
"$build/bench/show_all" --server "$tmp/pg.conf" "$db" "$big_table" "${big_table}_empty" --runs "$big_runs"
