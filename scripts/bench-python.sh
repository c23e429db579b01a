#!/usr/bin/env bash
# Installs what is missing (scikit-image included), builds the Python package
# and prints the Python speed tables: Normalizer.run from Python against the
# same run from C++, and histogram matching against scikit-image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --bench-python
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build -j"$(nproc)" --target imgnorm_python
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_python.py "$@"
