#!/usr/bin/env bash
# Sets everything up, then builds and runs every check, phase by phase:
#   release  the whole test suite (unit tests, whole shows headless, the real
#            window under Xvfb) and a build of the benchmarks (run by hand:
#            scripts/bench.sh)
#   web      the web page in headless Chromium against the release programs
#   asan     the suite but its "slow" label under AddressSanitizer +
#            UndefinedBehaviorSanitizer
#   tsan     the same under ThreadSanitizer
#   fuzz     every fuzz target for FUZZ_SECONDS (20) on its seed corpus
# test.sh [PHASE...] runs only those phases.  Each build has a folder of its
# own (build, build-asan, build-tsan, build-fuzz; scripts/run.sh uses
# build-run), configured with every setting spelled out, so the two scripts
# can run in any order.  A phase that finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

all_phases=(release web asan tsan fuzz)
phases=("$@")
((${#phases[@]})) || phases=("${all_phases[@]}")
for p in "${phases[@]}"; do
  [[ " ${all_phases[*]} " == *" $p "* ]] || { echo "test.sh: no phase \"$p\" (${all_phases[*]})" >&2; exit 2; }
done

jobs=$(nproc)
ctest_run() { ctest --test-dir "$1" --output-on-failure --no-tests=error -j"$jobs" "${@:2}"; }
common=(-DYURN_TESTS=ON -DYURN_FUZZ=OFF)
started=$SECONDS
times=()

run_phase() {
  local name=$1 start=$SECONDS
  echo "== $name"
  "phase_$name"
  times+=("$name $((SECONDS - start)) s")
}

phase_release() {
  scripts/build.sh build "${common[@]}" -DYURN_BENCH=ON -DYURN_SANITIZE= -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ctest_run build
}

phase_web() {
  # The web page in headless Chromium, compared with the release build's programs.
  [ -f build/CMakeCache.txt ] || phase_release
  tests/web/run.sh build
}

phase_asan() {
  scripts/build.sh build-asan "${common[@]}" -DYURN_BENCH=OFF -DYURN_SANITIZE=address,undefined \
    -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_run build-asan -LE slow
}

phase_tsan() {
  # TSan needs a fixed address layout on kernels with many random mmap bits,
  # also while the build lists each test program's tests.
  setarch "$(uname -m)" -R scripts/build.sh build-tsan "${common[@]}" -DYURN_BENCH=OFF -DYURN_SANITIZE=thread \
    -DCMAKE_BUILD_TYPE=Debug
  TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure \
    --no-tests=error -j"$jobs" -LE slow
}

phase_fuzz() {
  scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
}

for p in "${phases[@]}"; do run_phase "$p"; done
summary=$(printf '%s, ' "${times[@]}")
echo "== all checks passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s (${summary%, })"
