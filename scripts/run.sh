#!/usr/bin/env bash
# Installs what building and playing need (scripts/setup.sh run: no test
# tools), builds the show and every tool (quietly, in build-run/, apart from
# the tests' build/), packs the photographs into build-run/Yurn.pak when one is newer
# than it, and runs the show on build-run/ as its data folder (datos/ there
# is a link to this folder's).  Nothing is left in the source folder.
# Extra arguments go to yurn (try --help); yurn runs in the caller's folder,
# so a relative path among them (--capture out.mp4) means what it says there.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh run
dir=build-run
# Nothing in the sources newer than the last build: nothing to ask make.
built=$dir/.built
if [ ! -f "$built" ] || [ -n "$(find CMakeLists.txt cmake src tools scripts/build.sh -newer "$built" -print -quit)" ]; then
  scripts/build.sh "$dir" -DYURN_TESTS=OFF -DYURN_BENCH=OFF -DYURN_FUZZ=OFF -DYURN_SANITIZE=
  touch "$built"
fi

[ -L "$dir/datos" ] || ln -sfn ../datos "$dir/datos"
pak=$dir/Yurn.pak
shopt -s nullglob
photos=(datos/*.pcx)
stale=0
if ((${#photos[@]})); then
  [ -f "$pak" ] || stale=1
  for f in "${photos[@]}" "$dir/yurn-pak"; do
    [ "$stale" = 1 ] || [ "$f" -nt "$pak" ] && stale=1
  done
  if [ "$stale" = 1 ]; then
    "$dir/yurn-pak" create "$pak" "${photos[@]}" >/dev/null
  fi
else
  rm -f "$pak"  # no photographs left to pack: an old archive would still be read
fi
cd "$caller"
exec "$root/$dir/yurn" --data "$root/$dir" "$@"
