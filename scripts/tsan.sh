#!/usr/bin/env bash
# Builds the tool's tests with ThreadSanitizer (GCC) into build-tsan/ and runs
# the test that runs copies of one trained tool in parallel threads.  Fails on
# any data race report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGNORM_SANITIZE_THREAD=ON -DIMGNORM_BUILD_CLI=OFF \
      -DIMGNORM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target test_imgnorm
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/test_imgnorm --gtest_filter='Threads.*'
