#!/usr/bin/env bash
# Runs Korvid on the bundled sample database. Installs what is missing,
# builds korvid and korvid-server, loads the sample database into a private
# state directory, starts korvid-server there (its own socket and msql.conf,
# passed to korvid through MSQL_CONF_FILE) and runs korvid on it. With no
# display set, Korvid runs on a private Xvfb and a screenshot is saved (its
# path is printed). The server stops when Korvid ends.
#
# Usage: scripts/run-korvid.sh [korvid arguments]     (default: sample people)
# Environment: KORVID_STATE_DIR (default ~/.local/state/korvid).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
# A build tree of its own without the tests: quicker, and it leaves the test
# builds' settings alone.
cmake -S . -B build-run -DKORVID_TESTS=OFF >/dev/null
cmake --build build-run -j "$(nproc)" --target korvid korvid-server >/dev/null
korvid=$root/build-run/app/korvid
server=$root/build-run/server/korvid-server

state=${KORVID_STATE_DIR:-${XDG_STATE_HOME:-$HOME/.local/state}/korvid}
mkdir -p "$state/data"
state=$(cd "$state" && pwd)

server_pid="" xvfb_pid="" korvid_pid=""
# Stops what this script started, Korvid first, the server, then Xvfb.
stop() {
  set +e
  local pid
  for pid in "$korvid_pid" "$server_pid" "$xvfb_pid"; do
    if [ -n "$pid" ]; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
  return 0
}
trap stop EXIT
trap 'exit 130' INT TERM

# A free loopback port, so that "-h 127.0.0.1" works as well.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$state/msql.conf" <<EOF
# Written by scripts/run-korvid.sh for the private korvid-server.
[general]
msql_user = $(id -un)
inst_dir = $state
db_dir = $state/data
pid_file = $state/msql2.pid
unix_port = $state/msql2.sock
tcp_port = $port
admin_user = $(id -un)

[system]
local_access = 1
remote_access = 0

EOF
export MSQL_CONF_FILE=$state/msql.conf

echo "Loading the sample database into $state/data"
bash scripts/load-sample.sh "$state/data" "$server" >/dev/null

rm -f "$state/msql2.sock"
"$server" --conf "$MSQL_CONF_FILE" >"$state/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  [ -S "$state/msql2.sock" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$state/server.log" >&2; exit 1; }
  sleep 0.1
done
[ -S "$state/msql2.sock" ] || { echo "korvid-server did not start; see $state/server.log" >&2; exit 1; }
echo "korvid-server is running on $state/msql2.sock (log: $state/server.log)"

[ $# -eq 0 ] && set -- sample people

if [ -n "${DISPLAY:-}" ]; then
  status=0
  "$korvid" "$@" || status=$?
  exit $status
fi

# No display: a private Xvfb on a free display number, and a screenshot.
rm -f "$state/display"
# -noreset: the server must not reset when a short-lived client (xdotool,
# import) leaves while Korvid is still connecting.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$state/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$state/display" ] && break
  sleep 0.1
done
[ -s "$state/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(tr -d '\n' <"$state/display")

"$korvid" "$@" >"$state/korvid.log" 2>&1 &
korvid_pid=$!
if ! timeout 20 xdotool search --sync --onlyvisible --name '^Korvid$' >/dev/null; then
  echo "The Korvid window did not appear; see $state/korvid.log" >&2
  exit 1
fi
sleep 1
shot=$state/korvid-screenshot.png
import -window root "$shot"
echo "No display was set: Korvid runs on the private display $DISPLAY."
echo "Screenshot: $shot"
if [ -t 0 ]; then
  read -r -p "Press Enter to stop Korvid and the server. " _ || true
fi
