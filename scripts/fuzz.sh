#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each on a copy
# of its seed corpus for RUNS executions on two worker processes, each target
# stopping earlier if it reaches SECONDS. A crash, a leak, more than 512 MB
# resident or a single allocation above 64 MB fails the script and leaves the
# input in build-fuzz/; keep it under fuzz/regressions/<target>/ so that the
# ordinary tests replay it.
# Usage: scripts/fuzz.sh [RUNS] [SECONDS]   (defaults: 10000000 and 900)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
seconds=${2:-900}
targets=(reply_stream reply_memory config_file dialect_literal server_requests charset)
# Targets without a corpus of their own start from another one's.
declare -A seeds=([reply_memory]=reply_stream)
# Inputs may be this long; the reply reader, fed without a socket, takes
# replies of several whole packets of the largest size.
declare -A max_len=([reply_memory]=400000)

CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]/#/fuzz_}" >/dev/null

status=0
for target in "${targets[@]}"; do
  work=build-fuzz/work-$target
  rm -rf "$work"
  mkdir -p "$work"
  for dir in fuzz/corpus/"$target" fuzz/corpus/"${seeds[$target]:-$target}" fuzz/regressions/"$target"; do
    if [ -d "$dir" ]; then cp "$dir"/* "$work"/; fi
  done
  log=build-fuzz/$target.log
  echo "== fuzz $target: $runs executions, at most ${seconds}s"
  # Standard output and error of the code under test are closed
  # (-close_fd_mask=3); libFuzzer and the sanitizers keep their own copy.
  start=$(date +%s)
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ./build-fuzz/fuzz_"$target" -fork=2 -runs="$runs" -max_total_time="$seconds" -close_fd_mask=3 \
       -max_len="${max_len[$target]:-8192}" -timeout=10 -rss_limit_mb=512 -malloc_limit_mb=64 \
       -artifact_prefix=build-fuzz/"$target"- "$work" >"$log" 2>&1; then
    elapsed=$(( $(date +%s) - start ))
    [ "$elapsed" -gt 0 ] || elapsed=1
    done_runs=$(sed -n 's/^#\([0-9]*\):.*/\1/p' "$log" | tail -1)
    done_runs=${done_runs:-0}
    note=""
    [ "$done_runs" -ge "$runs" ] || note=" (stopped at the ${seconds}s limit, short of $runs)"
    echo "$target: $done_runs executions in ${elapsed}s, $(( done_runs / elapsed )) per second, no failure$note"
  else
    echo "$target: FAILED, see $log" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
exit $status
