#!/usr/bin/env bash
# Installs what is missing, builds the Google Benchmark programs and runs them
# (or only those named: scripts/bench.sh bench_pelfunc bench_local).  Extra
# Google Benchmark flags go in BENCH_FLAGS, e.g. BENCH_FLAGS=--benchmark_filter=2048.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DIMGNORM_BUILD_BENCH=ON \
      -DIMGNORM_BUILD_TESTS=OFF -DIMGNORM_BUILD_CLI=OFF -DIMGNORM_BUILD_EXAMPLES=OFF
programs=("$@")
if ((${#programs[@]} == 0)); then programs=(bench_pelfunc bench_global bench_local bench_tool bench_block); fi
cmake --build build-bench -j"$(nproc)" --target "${programs[@]}"
for p in "${programs[@]}"; do
  echo "== $p"
  # shellcheck disable=SC2086
  ./build-bench/bench/"$p" --benchmark_counters_tabular=true ${BENCH_FLAGS:-}
done
