#!/usr/bin/env bash
# Builds the fuzz harness with clang in build/fuzz and runs it for a bounded
# time over the seed corpus (tests/fuzz/corpus), printing the number of
# executions. New inputs go to build/fuzz/corpus, never into the repository;
# a failing input is saved under build/fuzz/artifacts/.
#   FUZZ_SECONDS   run time (default 60)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-60}"
build=build/fuzz
tools/install-deps.sh native fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLIGHTVOL_BUILD_TESTS=OFF -DLIGHTVOL_BUILD_TOOLS=OFF -DLIGHTVOL_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target lightvol_fuzz -j2

mkdir -p "$build/corpus" "$build/artifacts"
log="$build/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/tests/fuzz/lightvol_fuzz" "$build/corpus" tests/fuzz/corpus \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=2048 \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "fuzz: FAILED after ${executions:-?} executions (input saved in $build/artifacts/)"
  exit "$status"
fi
echo "fuzz executions: ${executions:-0} in ${seconds} s, no failure"
