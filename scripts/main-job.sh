#!/usr/bin/env bash
# Installs what is missing, builds imgnorm and runs the example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target quickstart
./build/examples/quickstart
