#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the plain and the
# sanitizer trees, and runs the whole suite in each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/install-deps.sh --check
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for kind in plain asan; do
  bash scripts/build.sh "$kind"
  dir=build; [ "$kind" = asan ] && dir=build-asan
  echo "== tests ($kind build)"
  ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 600 || status=1
done
if [ -x scripts/fuzz.sh ]; then
  # Ten million executions per target on the two cores, each target cut at
  # four minutes so that fuzzing stays within about twenty.
  bash scripts/fuzz.sh "${FUZZ_RUNS:-10000000}" "${FUZZ_SECONDS:-240}" || status=1
fi
exit $status
