#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang 14 (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs each one for a fixed
# time over its seeds in tests/fuzz/corpus/.  Fails on any crash, sanitizer
# report, leak, timeout (10 s per input) or allocation above 1 GiB, and prints
# the executions per second of each target.
# Usage: scripts/fuzz.sh [seconds per target (default 39)] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-39}"
shift || true
bash scripts/deps.sh --fuzz

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
      -DCMAKE_CXX_COMPILER=clang++-14 -DIMGNORM_FUZZ=ON -DIMGNORM_BUILD_TESTS=OFF -DIMGNORM_BUILD_EXAMPLES=OFF >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(cmake --build build-fuzz --target help | sed -n 's/^\.\.\. fuzz_\([a-z0-9]*\)$/\1/p' | sort)
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The targets' scratch files go to a folder of this run, removed at the end
# (a target stopped at its time limit does not remove its own).
scratch=$(mktemp -d "${TMPDIR:-/tmp}/imgnorm-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
status=0
report=()
for t in "${targets[@]}"; do
  work="build-fuzz/corpus/$t"  # grows with what the run finds; seeds stay untouched
  mkdir -p "$work" build-fuzz/findings
  log="build-fuzz/fuzz_$t.log"
  echo "fuzzing $t for ${seconds} s"
  if ! "build-fuzz/tests/fuzz/fuzz_$t" "$work" "tests/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=1024 -malloc_limit_mb=1024 -print_final_stats=1 \
       -artifact_prefix="build-fuzz/findings/$t-" >"$log" 2>&1; then
    echo "FAILED: fuzz_$t (see $log; the input is in build-fuzz/findings/)" >&2
    grep -E "ERROR|fuzz finding|SUMMARY|Test unit written" "$log" | head -5 >&2 || true
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  report+=("$(printf '%-10s %10s runs %8s exec/s' "$t" "${runs:-?}" "${rate:-?}")")
done
printf '%s\n' "${report[@]}"
exit $status
