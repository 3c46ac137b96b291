#!/usr/bin/env bash
# Installs, from Debian's packages, everything that building, testing and
# running Korvid needs. Does nothing when all of it is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libforms-dev libxpm-dev libx11-dev libsqlite3-dev sqlite3
  xvfb xauth xdotool imagemagick x11-utils
  xfonts-base xfonts-75dpi xfonts-100dpi xfonts-utils
  openbox wmctrl locales
  python3 valgrind procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
