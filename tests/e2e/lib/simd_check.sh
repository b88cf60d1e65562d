# Sourced by the checks of the page's WebAssembly SIMD code.
#
# run_simd_check NAME SOURCE
#   Builds SOURCE (a program that compares the SIMD code with the plain code
#   and exits non-zero on a difference) with the renderer's sources by em++
#   -msimd128 and runs it under node.  Without em++ or node it says so and
#   passes.  Runs from the source folder.
run_simd_check() {
  local name=$1 source=$2 tool
  for tool in em++ node; do
    if ! command -v "$tool" >/dev/null; then
      echo "$name: omitida: falta $tool (scripts/setup.sh lo instala)"
      exit 0
    fi
  done
  # em++ runs its JavaScript tools with node, which needs Debian's acorn.  The
  # WebAssembly is embedded in the script (SINGLE_FILE): this emscripten's
  # loader would fetch() a file path, which a recent node refuses.
  export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  shopt -s nullglob
  # The renderer and what it stands on; a symbol only code the check never
  # runs refers to (the mesh loaders' file reading) is left unresolved, not an
  # error.
  local sources=(src/engine/*.cpp src/render/*.cpp src/display/error.cpp src/display/cpu.cpp src/shell/globals.cpp)
  em++ -std=c++20 -O2 -msimd128 -ffp-contract=off -Wall -Wextra -Wshadow -Isrc \
    -sENVIRONMENT=node -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 -sSINGLE_FILE=1 \
    -sERROR_ON_UNDEFINED_SYMBOLS=0 -Wno-undefined \
    "$source" "${sources[@]}" -o "$work/check.js" 2>"$work/build.log" || {
    cat "$work/build.log" >&2
    echo "$name: no se pudo compilar $source" >&2
    exit 1
  }
  node "$work/check.js"
}
