#!/usr/bin/env bash
# The page's WebAssembly SIMD span kernels against the plain ones:
# tests/web/spans_check.cpp, built by em++ -msimd128 and run under node.
# Without em++ or node it says so and passes.  Usage: web_spans.sh [BUILD_DIR] (unused)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/e2e/lib/simd_check.sh
run_simd_check web_spans tests/web/spans_check.cpp
