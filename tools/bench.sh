#!/usr/bin/env bash
# Frame-cost benchmarks: the module's render against the plain frame (lights
# in an address-ordered std::set, every layer scanning every visible light),
# deeper volumes with the same lights, light churn, and the software
# rasterizer's fill rate. Installs what it needs, builds a Release tree in
# build/bench, runs, and prints Google Benchmark's output followed by summary
# tables (also written to build/bench/summary.md; the whole output to
# build/bench/bench-output.txt).
#
#   tools/bench.sh                             everything (a few minutes)
#   tools/bench.sh --benchmark_filter=frame/   extra arguments go to lightvol_bench
# LIGHTVOL_BENCH_BUILD_DIR overrides the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${LIGHTVOL_BENCH_BUILD_DIR:-build/bench}"

tools/install-deps.sh native bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLIGHTVOL_BUILD_BENCH=ON \
  -DLIGHTVOL_BUILD_TESTS=OFF -DLIGHTVOL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2 --target lightvol_bench

machine="$(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores"
echo "Machine: $machine"
"$build/bench/lightvol_bench" \
  --benchmark_min_time=0.3 \
  --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --summary_out="$build/summary.md" \
  "$@" | tee "$build/bench-output.txt"
{ echo "Machine: $machine"; cat "$build/summary.md"; } > "$build/summary.tmp"
mv "$build/summary.tmp" "$build/summary.md"
echo
echo "Machine: $machine. Summary in $build/summary.md."
