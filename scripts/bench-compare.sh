#!/usr/bin/env bash
# Installs what is missing (OpenCV included), builds the benchmarks and the
# OpenCV comparison, and prints the comparison table (single thread, ours and
# OpenCV interleaved in one process, medians) for 2048^2, 4096^2, 8192^2 and
# 3000 x 2001, then the growth of ns/pel with the image size.  Pass --quick
# for a short run, --baseline (or --avx2) to force that instruction-set path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --bench-opencv
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DIMGNORM_BUILD_BENCH=ON -DIMGNORM_BENCH_OPENCV=ON \
      -DIMGNORM_BUILD_TESTS=OFF -DIMGNORM_BUILD_CLI=OFF -DIMGNORM_BUILD_EXAMPLES=OFF
cmake --build build-bench -j"$(nproc)" --target compare_opencv
echo "Processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(date -u +%Y-%m-%d)"
./build-bench/bench/compare_opencv "$@"
