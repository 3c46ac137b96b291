# Sourced by the benchmark scripts: a private PostgreSQL for one run, in a
# temporary directory, listening on a UNIX socket there and nowhere else,
# run by an unprivileged account when the caller is root (PostgreSQL
# refuses to run as root). Needs $tmp (the run's temporary directory).
#
#   pg_found || exit 0     # says why and skips the benchmark without PostgreSQL
#   pg_start [DIR]         # sets pg_conninfo and psql; in DIR instead of $tmp
#                          # the cluster is kept, made only when missing
#   pg_stop                # from the caller's cleanup

pgbin=""
pg_dir=""
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
  pg_dir=${1:-$tmp}
  if [ "$(id -u)" -eq 0 ]; then
    pg_user=korvidbench
    id -u "$pg_user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$pg_user"
    run_pg() { runuser -u "$pg_user" -- "$@"; }
  fi
  chmod 755 "$pg_dir"
  mkdir -p "$pg_dir/pg" "$pg_dir/pgsock"
  chown "$pg_user" "$pg_dir/pg" "$pg_dir/pgsock"
  if [ ! -e "$pg_dir/pg/PG_VERSION" ]; then
    run_pg "$pgbin/initdb" -D "$pg_dir/pg" -U bench --auth=trust >/dev/null
  fi
  echo "Starting PostgreSQL ($pgbin) ..."
  # A kept cluster may still be running from a run that was killed.
  run_pg "$pgbin/pg_ctl" -D "$pg_dir/pg" status >/dev/null 2>&1 ||
    run_pg "$pgbin/pg_ctl" -D "$pg_dir/pg" -l "$pg_dir/pgsock/log" -w \
      -o "-k $pg_dir/pgsock -c listen_addresses= -c fsync=off" start >/dev/null
  psql="$pgbin/psql"
  [ -x "$psql" ] || psql=psql
  pg_conninfo="host=$pg_dir/pgsock user=bench dbname=postgres"
}

pg_stop() {
  # A kept cluster is shut down cleanly, so that it starts again without
  # a recovery; a temporary one at once.
  local mode=immediate
  [ "$pg_dir" != "${tmp:-}" ] && mode=fast
  [ -n "$pgbin" ] && [ -n "$pg_dir" ] && [ -d "$pg_dir/pg" ] && run_pg "$pgbin/pg_ctl" -D "$pg_dir/pg" -m "$mode" stop >/dev/null 2>&1
  return 0
}
