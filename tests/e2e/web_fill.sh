#!/usr/bin/env bash
# The page's WebAssembly SIMD triangle set-up and buffer fills against the
# plain ones: tests/web/fill_check.cpp, built by em++ -msimd128 and run under
# node.  Without em++ or node it says so and passes.  Usage: web_fill.sh [BUILD_DIR] (unused)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/e2e/lib/simd_check.sh
run_simd_check web_fill tests/web/fill_check.cpp
