#!/usr/bin/env bash
# Soak and crash runs against a private korvid-server, with their figures.
# Usage: scripts/endurance.sh [CLIENTS OPERATIONS CYCLES]  (default 16 5000 200)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j 2 --target endurance >/dev/null
./build/tests/hardening/endurance soak "${1:-16}" "${2:-5000}"
./build/tests/hardening/endurance crash "${3:-200}"
