#!/usr/bin/env bash
# The page's WebAssembly SIMD triangle set-up and buffer fills against the
# plain ones: builds tests/e2e/web_fill_check.cpp with the renderer's sources
# by em++ -msimd128 and runs it under node.  Without em++ or node it says so
# and passes.  Usage: web_fill.sh [BUILD_DIR] (unused)
set -euo pipefail
cd "$(dirname "$0")/../.."
for tool in em++ node; do
  if ! command -v "$tool" >/dev/null; then
    echo "web_fill: omitida: falta $tool (scripts/setup.sh lo instala)"
    exit 0
  fi
done
# em++ runs its JavaScript tools with node, which needs Debian's acorn; the
# WebAssembly is embedded in the script (SINGLE_FILE), as tests/e2e/web_spans.sh
# explains.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shopt -s nullglob
# The renderer and what it stands on; the mesh loaders' file reading, which
# the check never runs, is left unresolved.
sources=(src/engine/*.cpp src/render/*.cpp src/display/error.cpp src/display/cpu.cpp src/shell/globals.cpp)
em++ -std=c++20 -O2 -msimd128 -ffp-contract=off -Wall -Wextra -Wshadow -Isrc \
  -sENVIRONMENT=node -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 -sSINGLE_FILE=1 \
  -sERROR_ON_UNDEFINED_SYMBOLS=0 -Wno-undefined \
  tests/e2e/web_fill_check.cpp "${sources[@]}" -o "$work/web_fill_check.js" 2>"$work/build.log" || {
  cat "$work/build.log" >&2
  echo "web_fill: no se pudo compilar tests/e2e/web_fill_check.cpp" >&2
  exit 1
}
node "$work/web_fill_check.js"
