#!/usr/bin/env bash
# Builds the web page and the native programs it is compared with, then runs
# the browser tests in headless Chromium.  run.sh [native build folder]
# Without the tools (em++, Chromium, node and npm) it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}

missing=()
command -v em++ >/dev/null || missing+=(emscripten)
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] || missing+=(chromium)
command -v node >/dev/null || missing+=(node)
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  echo "web: pruebas del navegador omitidas: falta ${missing[*]} (scripts/setup.sh lo instala)"
  exit 0
fi

# puppeteer-core lives in build/web-node/ (scripts/setup.sh test puts it there).
[ -d build/web-node/node_modules/puppeteer-core ] || scripts/setup.sh test
cmake --build "$build" -j"$(nproc)" --target yurn yurn-pak yurn-frame-digests >/dev/null
YURN_SKIP_SETUP=1 YURN_NATIVE_BUILD="$build" scripts/web.sh --build-only
cd tests/web
YURN_WEB_NODE="$(cd ../../build/web-node && pwd)" YURN_NATIVE_BUILD="$(cd "../../$build" && pwd)" node --test
