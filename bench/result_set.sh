#!/usr/bin/env bash
# bench/result_set with libpq beside the client library: starts a private
# PostgreSQL holding the same 4-column rows that result_set's replay peer
# serves, runs result_set against both, and cleans up. Without PostgreSQL
# it says so and runs result_set alone.
# Usage: bench/result_set.sh [ROWS]   (default 1000000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rows=${1:-1000000}
build=${BUILD_DIR:-$root/build}
. "$root/bench/postgres.sh"

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target result_set >/dev/null
if ! pg_found; then
  "$build/bench/result_set" "$rows"
  exit 0
fi

tmp=$(mktemp -d /tmp/korvid-bench-XXXXXX)
cleanup() {
  pg_stop
  rm -rf "$tmp"
}
trap cleanup EXIT
pg_start
# The replay peer's rows, value for value: NULL in the third column of
# every tenth row from the fourth, in the fourth from the eighth.
"$psql" -q -h "$tmp/pgsock" -U bench -d postgres -v ON_ERROR_STOP=1 <<SQL
CREATE TABLE bench (id int not null, name text, descr text, price text);
INSERT INTO bench SELECT i, 'name-' || lpad(i::text, 15, '0'),
  CASE WHEN i % 10 = 3 THEN NULL ELSE 'a longer description of row ' || lpad(i::text, 12, '0') END,
  CASE WHEN i % 10 = 7 THEN NULL ELSE (i % 10000) || '.' || lpad((i % 100)::text, 2, '0') END
  FROM generate_series(0, $rows - 1) AS i;
VACUUM ANALYZE bench;
SQL
"$build/bench/result_set" "$rows" --pg "$pg_conninfo"
