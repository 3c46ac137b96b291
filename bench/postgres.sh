# Sourced by the benchmark scripts: a private PostgreSQL for one run, in a
# temporary directory, listening on a UNIX socket there and nowhere else,
# run by an unprivileged account when the caller is root (PostgreSQL
# refuses to run as root). Needs $tmp (the run's temporary directory).
#
#   pg_found || exit 0     # says why and skips the benchmark without PostgreSQL
#   pg_start               # sets pg_conninfo and psql
#   pg_stop                # from the caller's cleanup

pgbin=""
pg_user=$(id -un)
run_pg() { "$@"; }

pg_found() {
  pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ] || [ ! -e /usr/lib/x86_64-linux-gnu/libpq.so.5 ]; then
    echo "PostgreSQL or libpq not installed (Debian packages postgresql, libpq5;" \
      "scripts/install-deps.sh installs them): benchmark skipped"
    return 1
  fi
}

pg_start() {
  if [ "$(id -u)" -eq 0 ]; then
    pg_user=korvidbench
    id -u "$pg_user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$pg_user"
    run_pg() { runuser -u "$pg_user" -- "$@"; }
  fi
  chmod 755 "$tmp"
  mkdir -p "$tmp/pg" "$tmp/pgsock"
  chown "$pg_user" "$tmp/pg" "$tmp/pgsock"
  echo "Starting PostgreSQL ($pgbin) ..."
  run_pg "$pgbin/initdb" -D "$tmp/pg" -U bench --auth=trust >/dev/null
  run_pg "$pgbin/pg_ctl" -D "$tmp/pg" -l "$tmp/pgsock/log" -w \
    -o "-k $tmp/pgsock -c listen_addresses= -c fsync=off" start >/dev/null
  psql="$pgbin/psql"
  [ -x "$psql" ] || psql=psql
  pg_conninfo="host=$tmp/pgsock user=bench dbname=postgres"
}

pg_stop() {
  [ -n "$pgbin" ] && [ -d "$tmp/pg" ] && run_pg "$pgbin/pg_ctl" -D "$tmp/pg" -m immediate stop >/dev/null 2>&1
  return 0
}
