#!/usr/bin/env bash
# Installs the Debian 12 packages one command needs, only when something is
# missing:
#   setup.sh run    building the programs and playing the show (scripts/run.sh)
#   setup.sh web    that and the WebAssembly compiler (scripts/web.sh)
#   setup.sh test   everything the checks use (scripts/test.sh, scripts/bench.sh,
#                   scripts/package.sh): the above, sanitizer and fuzz
#                   compilers, Xvfb, the reference tools, the browser and the
#                   browser tests' puppeteer-core from npm, at tests/web's
#                   lockfile, into build/web-node/ (never into the source tree)
# Safe to run again and again, and while another apt run holds the lock: it
# waits for it (up to SETUP_LOCK_SECONDS, 600).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
set_name=${1:-test}

run_packages=(
  build-essential cmake ccache pkg-config
  libsdl2-dev libsdl2-mixer-dev libstb-dev libpng-dev zlib1g-dev libexif-dev libtomlplusplus-dev
)
web_packages=(emscripten node-acorn python3)
test_packages=(
  git libsdl2-image-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool x11-apps
  ffmpeg imagemagick netpbm lame hyperfine
  assimp-testmodels libosmesa6-dev
  chromium
  dpkg-dev lintian man-db
)
case $set_name in
  run) packages=("${run_packages[@]}") ;;
  web) packages=("${run_packages[@]}" "${web_packages[@]}") ;;
  test)
    packages=("${run_packages[@]}" "${web_packages[@]}" "${test_packages[@]}")
    # The browser tests' driver comes from npm; a node from elsewhere brings its own npm.
    command -v npm >/dev/null || packages+=(npm)
    ;;
  *) echo "uso: scripts/setup.sh run|web|test" >&2; exit 2 ;;
esac

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

# puppeteer-core for the browser tests, at the versions in the lockfile, in a
# build folder: installed again only when the lockfile changed.
if [ "$set_name" = test ]; then
  modules=$root/build/web-node
  if [ ! -d "$modules/node_modules/puppeteer-core" ] ||
     ! cmp -s "$root/tests/web/package-lock.json" "$modules/package-lock.json"; then
    mkdir -p "$modules"
    cp "$root/tests/web/package.json" "$root/tests/web/package-lock.json" "$modules/"
    npm ci --prefix "$modules" --no-audit --no-fund --loglevel=error
  fi
fi
