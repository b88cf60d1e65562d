#!/usr/bin/env bash
# Builds the web page and the native show, then prints the page's figures
# against the native program for both shows (bench/web_bench.mjs): one line
# "ratio web_photo_show N.NNx native" and one "ratio web_engine_show N.NNx
# native", and the real-time frame work's mean, 95th and 99th percentile.
# ROUNDS=N (default 3), SHOWS="show engine", PLAIN=1 for the build without SIMD.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target yurn yurn-pak yurn-frame-digests >/dev/null
YURN_SKIP_SETUP=1 YURN_NATIVE_BUILD=build scripts/web.sh --build-only >/dev/null
[ -d tests/web/node_modules/puppeteer-core ] || (cd tests/web && npm ci --no-audit --no-fund)
YURN_NATIVE_BUILD="$PWD/build" node bench/web_bench.mjs
