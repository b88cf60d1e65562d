#!/usr/bin/env bash
# Installs what building, running and testing yurn need (Debian 12 packages,
# and the browser tests' puppeteer-core from npm at tests/web's lockfile),
# only when something is missing.  Safe to run again and again, and while
# another apt run holds the lock: it waits for it (up to SETUP_LOCK_SECONDS, 600).
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config git
  libsdl2-dev libsdl2-mixer-dev libsdl2-image-dev libstb-dev libpng-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool x11-apps
  ffmpeg imagemagick netpbm lame libexif-dev hyperfine libtomlplusplus-dev
  assimp-testmodels libosmesa6-dev
  emscripten node-acorn chromium
)
# The browser tests' driver comes from npm; a node from elsewhere brings its own npm.
command -v npm >/dev/null || packages+=(npm)

# One query for all of them: the check is all a second run pays.
declare -A installed=()
while read -r name status; do
  [ "$status" = installed ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [ -n "${installed[$p]:-}" ] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  lock=(-o DPkg::Lock::Timeout="${SETUP_LOCK_SECONDS:-600}")
  "${sudo_cmd[@]}" apt-get "${lock[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "${lock[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"
fi

# puppeteer-core for the browser tests, at the versions in the lockfile.
web_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
if [ ! -d "$web_tests/node_modules/puppeteer-core" ]; then
  (cd "$web_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
