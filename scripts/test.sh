#!/usr/bin/env bash
# Sets everything up, then builds and runs every check: the test suite, the
# same suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, a short bounded run of every fuzz target, and a build of
# the benchmarks (which are run by hand: scripts/bench.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
ctest_run() { ctest --test-dir "$1" --output-on-failure -j"$jobs" "${@:2}"; }

echo "== release build and tests"
scripts/build.sh build -DYURN_BENCH=ON
ctest_run build

echo "== web page in headless Chromium"
tests/web/run.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DYURN_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_run build-asan -LE slow

echo "== ThreadSanitizer"
scripts/build.sh build-tsan -DYURN_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
# TSan needs a fixed address layout on kernels with many random mmap bits.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure -j"$jobs" -LE slow

echo "== fuzz targets"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== all checks passed"
