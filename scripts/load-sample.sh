#!/usr/bin/env bash
# Creates or refreshes the sample database "sample" in a data directory.
# Usage: scripts/load-sample.sh DATA_DIR [SERVER_BINARY]
# The server binary defaults to $KORVID_SERVER, then build/server/korvid-server,
# then korvid-server on the PATH. The data directory is created if needed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  echo "usage: $0 DATA_DIR [SERVER_BINARY]" >&2
  exit 2
fi
data=$1
server=${2:-${KORVID_SERVER:-}}
if [ -z "$server" ]; then
  if [ -x "$root/build/server/korvid-server" ]; then
    server="$root/build/server/korvid-server"
  elif command -v korvid-server >/dev/null; then
    server=$(command -v korvid-server)
  else
    echo "$0: korvid-server not found; build it first (scripts/build.sh)" >&2
    exit 1
  fi
fi
mkdir -p "$data"
# A configuration of one line: the database is loaded as the user who runs
# this (root too), not as the default msql_user. --port 0: loading never
# opens a socket.
conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
printf '[general]\nmsql_user = %s\n' "$(id -un)" >"$conf"
"$server" --conf "$conf" --data "$data" --port 0 --load sample "$root/resources/sample.sql"
