#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# bounded time on its seed corpus in fuzz/corpus/<target>, with inputs of up
# to 64 KB so that work growing faster than the input is reachable:
# fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DYURN_FUZZ=ON -DYURN_TESTS=OFF
shopt -s nullglob
for src in fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  corpus=fuzz/corpus/$name
  work=build-fuzz/corpus-$name
  rm -rf "$work"; mkdir -p "$work" build-fuzz/artifacts
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz: $name for ${seconds}s"
  build-fuzz/"$name" -max_total_time="$seconds" -max_len=65536 -print_final_stats=0 \
    -artifact_prefix=build-fuzz/artifacts/"$name"- "$work" 2>build-fuzz/"$name".log \
    || { tail -n 60 build-fuzz/"$name".log; exit 1; }
done
