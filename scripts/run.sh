#!/usr/bin/env bash
# Sets everything up, builds, packs the archive and runs the show from the
# folder that holds datos/.  Extra arguments go to yurn (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DYURN_TESTS=OFF
if [ -x build/yurn-pak ] && compgen -G "datos/*.pcx" >/dev/null; then
  build/yurn-pak create Yurn.pak datos/*.pcx >/dev/null
fi
exec build/yurn "$@"
