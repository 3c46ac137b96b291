#!/usr/bin/env bash
# Installs, from Debian's packages, everything that building, testing and
# running Korvid needs. Does nothing when all of it is already there.
# It also makes the ISO 8859-1 locale the toolkit's inputs need (Debian
# generates none by default).
# With --check, installs nothing and fails loudly unless every package named
# here is installed, that locale loads, and an X server finds the fonts
# Korvid's windows were drawn with (a machine set up by hand can hide a
# missing install step).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libforms-dev libxpm-dev libx11-dev libsqlite3-dev sqlite3
  xvfb xauth xdotool imagemagick x11-utils
  xfonts-base xfonts-75dpi xfonts-100dpi xfonts-utils
  openbox wmctrl locales
  python3 valgrind procps
  # the remote-client test joins two network namespaces of its own with ip
  iproute2
  # korvid-server's PostgreSQL engine, its tests and the benchmarks against libpq
  postgresql libpq5 libpq-dev
)

# Korvid runs the toolkit under this LC_CTYPE: its inputs keep a byte above
# 127 only where the locale calls it printable.
latin1_locale=C.ISO-8859-1
latin1_ready() {
  [ "$(LC_ALL=$latin1_locale locale charmap 2>/dev/null)" = ISO-8859-1 ]
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${1:-}" = --check ]; then
  if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: not installed: ${missing[*]}" >&2
    exit 1
  fi
  if ! latin1_ready; then
    echo "install-deps: no locale $latin1_locale (made by: localedef -i C -f ISO-8859-1 $latin1_locale)" >&2
    exit 1
  fi
  # The faces as Korvid asks for them, on a private Xvfb with the font path
  # a fresh install gives it. A server that dies or never answers is said as
  # such and tried again, so that it is never taken for a missing font.
  faces=(helvetica-medium-r helvetica-bold-r courier-bold-r times-medium-r)
  status=1
  for attempt in 1 2 3; do
    display=$(mktemp)
    Xvfb -displayfd 3 -nolisten tcp 3>"$display" 2>/dev/null &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$display" ] && break; sleep 0.1; done
    export DISPLAY=:$(tr -d '\n' <"$display")
    absent=()
    reached=yes
    for face in "${faces[@]}"; do
      spacing=p; [ "${face%%-*}" = courier ] && spacing=m
      pattern="-*-$face-normal-*-*-120-75-75-$spacing-*-iso8859-1"
      # xlsfonts succeeds on a pattern that matches nothing: read what it
      # lists, and ask the server to answer at all before blaming the font.
      if [ -z "$(xlsfonts -fn "$pattern" 2>/dev/null)" ]; then
        if xdpyinfo >/dev/null 2>&1; then absent+=("$pattern"); else reached=no; break; fi
      fi
    done
    kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true
    rm -f "$display"
    if [ $reached = no ]; then
      echo "install-deps: the private X server did not answer (try $attempt of 3)" >&2
      continue
    fi
    for pattern in "${absent[@]}"; do
      echo "install-deps: no font $pattern (package xfonts-75dpi)" >&2
    done
    [ ${#absent[@]} -eq 0 ] && status=0
    break
  done
  [ $status -eq 0 ] && echo "install-deps: all ${#packages[@]} packages installed; $latin1_locale loads; the 75 dpi faces resolve"
  exit $status
fi

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if ! latin1_ready; then
  echo "Making the locale $latin1_locale"
  # localedef's status is 1 for warnings about the C source; what counts is
  # whether the locale loads afterwards.
  $sudo localedef -i C -f ISO-8859-1 "$latin1_locale" || true
  latin1_ready || { echo "install-deps: $latin1_locale could not be made" >&2; exit 1; }
fi
