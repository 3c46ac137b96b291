#!/usr/bin/env bash
# Configures and builds one build tree: build (plain) or build-asan (sanitizers).
# Usage: scripts/build.sh [plain|asan]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
jobs=$(nproc)
case "$kind" in
  plain) dir=build; flags=() ;;
  asan) dir=build-asan; flags=(-DKORVID_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [plain|asan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
