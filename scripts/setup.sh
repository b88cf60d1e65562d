#!/usr/bin/env bash
# Installs what building, running and testing yurn need (Debian 12), only
# when something is missing.  Safe to run again and again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsdl2-dev libsdl2-mixer-dev libsdl2-image-dev libstb-dev libpng-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool x11-apps
  ffmpeg imagemagick netpbm lame libexif-dev hyperfine
  assimp-testmodels libosmesa6-dev
  emscripten node-acorn chromium
)
# The browser tests' driver comes from npm; a node from elsewhere brings its own npm.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# puppeteer-core for the browser tests, at the versions in the lockfile.
web_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
if [ ! -d "$web_tests/node_modules/puppeteer-core" ]; then
  (cd "$web_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
