#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for the
# given number of seconds on a copy of its seed corpus. A crash fails the
# script and leaves the input in build-fuzz/; keep it under
# fuzz/regressions/<target>/ so that the ordinary tests replay it.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(reply_stream config_file)

CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]/#/fuzz_}" >/dev/null

status=0
for target in "${targets[@]}"; do
  work=build-fuzz/work-$target
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$target"/* "$work"/
  if [ -d fuzz/regressions/"$target" ]; then cp fuzz/regressions/"$target"/* "$work"/; fi
  log=build-fuzz/$target.log
  echo "== fuzz $target for ${seconds}s"
  # Standard output and error of the library are closed (-close_fd_mask=3);
  # libFuzzer and the sanitizers keep their own copy of standard error.
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ./build-fuzz/fuzz_"$target" -max_total_time="$seconds" -close_fd_mask=3 -max_len=8192 \
       -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix=build-fuzz/"$target"- "$work" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    [ -n "$elapsed" ] && [ "$elapsed" -gt 0 ] || elapsed=$seconds
    echo "$target: ${runs:-?} executions in ${elapsed}s, $(( ${runs:-0} / elapsed )) per second, no crash"
  else
    echo "$target: FAILED, see $log" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
exit $status
