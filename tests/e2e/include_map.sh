#!/usr/bin/env bash
# Every include from one folder of src/ into another, and from tools/ into
# src/, is one the folder map in CONVENTIONS.md allows; no private header
# (NAME_local.h) is included outside its folder; only platform/ includes SDL
# or emscripten headers.  Reads the map from CONVENTIONS.md itself, so the
# table and the code cannot drift apart.  Usage: include_map.sh [BUILD_DIR]
set -u
cd "$(dirname "$0")/../.."

# Until capture/ is split by job it still takes fatal_error through the
# display's header and the sound track's name through the shell's; the map
# says where it is going.  Each line: FILE INCLUDE.
pending=$'src/capture/capture.cpp display/display.h\nsrc/capture/capture.cpp shell/shell.h\nsrc/capture/png_write.cpp display/display.h\nsrc/capture/capture.h shell/shell.h'

declare -A allowed
rows=0
while IFS='|' read -r _ folder may _; do
  folder=$(grep -o '`[^`]*`' <<<"$folder" | head -n 1 | tr -d '`')
  [ -n "$folder" ] || continue
  allowed[${folder%/}]=" $(grep -o '`[^`]*`' <<<"$may" | tr -d '`' | tr '\n' ' ') "
  rows=$((rows + 1))
done < <(awk '/^## /{inside = ($0 == "## Folder map")} inside' CONVENTIONS.md | grep '^| `')
if [ "$rows" -lt 5 ]; then
  echo "FAIL: no folder map found in CONVENTIONS.md (section \"## Folder map\")"
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Whether folder may include header inc of src/.
may_include() {
  local list=${allowed[$1]-} inc=$2
  case $inc in *_local.h) return 1 ;; esac
  [[ $list == *" $inc "* || $list == *" ${inc%%/*}/ "* ]]
}

for dir in src/*/; do
  folder=$(basename "$dir")
  [ -n "${allowed[$folder]+x}" ] || fail "src/$folder/ has no row in the folder map of CONVENTIONS.md"
done

while IFS= read -r file; do
  case $file in
    src/*) folder=$(cut -d/ -f2 <<<"$file") ;;
    *) folder=tools ;;
  esac
  while IFS= read -r inc; do
    [ -f "src/$inc" ] || continue  # a tool's own header (common/cli.h)
    [ "${inc%%/*}" = "$folder" ] && continue
    may_include "$folder" "$inc" && continue
    grep -qxF "$file $inc" <<<"$pending" && continue
    fail "$file includes \"$inc\", which the folder map does not allow for $folder/"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\/[^"]*\)".*/\1/p' "$file")
done < <(find src tools -name '*.cpp' -o -name '*.h' | sort)

while IFS= read -r file; do
  fail "$file includes SDL or emscripten headers; only src/platform/ may"
done < <(grep -lE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(SDL|emscripten)' -r src | grep -v '^src/platform/' | sort)

if [ "$failures" -ne 0 ]; then
  echo "$failures include(s) outside the folder map"
  exit 1
fi
echo "ok: every include between folders is one the folder map allows"
