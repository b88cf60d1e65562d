#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs each; every one prints its ratios
# against a reference measured in the same run: bench.sh [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
scripts/build.sh build-bench -DYURN_BENCH=ON -DYURN_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
names=("$@")
if ((${#names[@]} == 0)); then
  for src in bench/*.cpp; do names+=("$(basename "$src" .cpp)"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  build-bench/"$name"
done
