#!/usr/bin/env bash
# Configures and builds one flavour of the tree, quietly:
#   build.sh DIR [cmake options...] [-- targets...]
# Every cmake option is passed on every configure, so a setting cached by
# another script cannot leak in.  The folder is configured again only when
# its options or its cache change.  Prints nothing when nothing was rebuilt, one line when
# something was, and the whole log when the build fails.  Uses ccache when it
# is there (scripts/setup.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
options=() targets=()
while (($#)); do
  if [ "$1" = -- ]; then shift; targets=("$@"); break; fi
  options+=("$1"); shift
done

# Make, as every script that configures these folders (scripts/web.sh too) asks for.
generator="Unix Makefiles"
if command -v ccache >/dev/null; then
  options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Worktrees and clones in other folders share cached objects.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
fi
wanted="$generator|-DCMAKE_BUILD_TYPE=RelWithDebInfo ${options[*]} ${CC:-} ${CXX:-}"

mkdir -p "$dir"
log=$dir/build.log
stamp=$dir/.build-options
# Configured again when the options differ, or when the cache changed since
# (a hand-run cmake may have changed a setting).
if [ ! -f "$dir/CMakeCache.txt" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ] ||
   [ "$dir/CMakeCache.txt" -nt "$stamp" ]; then
  # A folder made with another generator cannot be configured again in place.
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx "CMAKE_GENERATOR:INTERNAL=$generator" "$dir/CMakeCache.txt"; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  if ! cmake -S . -B "$dir" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build: configuring $dir failed" >&2
    exit 1
  fi
  echo "$wanted" >"$stamp"
fi

build=(cmake --build "$dir" -j"$(nproc)")
((${#targets[@]})) && build+=(--target "${targets[@]}")
if ! "${build[@]}" >"$log" 2>&1; then
  cat "$log" >&2
  echo "build: building $dir failed" >&2
  exit 1
fi
# One line when something was compiled or linked; warnings in full.
steps=$(grep -cE '(Building|Linking) ' "$log" || true)
warnings=$(grep -c 'warning:' "$log" || true)
if [ "$steps" -gt 0 ]; then
  note=""
  [ "$warnings" -eq 0 ] || note=", $warnings warnings"
  echo "build: $dir: $steps files compiled or linked$note" >&2
fi
[ "$warnings" -eq 0 ] || grep -B2 -A6 'warning:' "$log" >&2
exit 0
