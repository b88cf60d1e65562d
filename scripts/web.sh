#!/usr/bin/env bash
# Builds the show for the browser into build-web/site/ and serves that folder
# on http://localhost:8000/ (a plain static server; the folder works unchanged
# on any web host).  web.sh [--build-only] [--port N] [--show DIR]
# --show DIR builds the site for the show in DIR/show.toml (yurn-show new
# makes one): the same page with that show's file, its archive and its music.
set -euo pipefail
cd "$(dirname "$0")/.."
port=8000
serve=1
show_dir=
while (($#)); do
  case $1 in
    --build-only) serve=0 ;;
    --port) port=$2; shift ;;
    --show) show_dir=${2:?--show necesita la carpeta del espectáculo}; shift ;;
    *) echo "uso: scripts/web.sh [--build-only] [--port N] [--show CARPETA]" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$show_dir" ] && [ ! -f "$show_dir/show.toml" ]; then
  echo "web.sh: $show_dir no tiene show.toml (yurn-show new $show_dir FOTO... --music CANCIÓN lo hace)" >&2
  exit 2
fi
[ -n "${YURN_SKIP_SETUP:-}" ] || scripts/setup.sh

# em++ runs its JavaScript tools with node; Debian's acorn lives in its own
# module folder, which a node not built by Debian does not look in.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

# The archive is packed by the native tool: scripts/run.sh's build of it, or
# the one in YURN_NATIVE_BUILD (the browser tests use the tests' build).
native=${YURN_NATIVE_BUILD:-}
if [ -z "$native" ]; then
  native=build-run
  scripts/build.sh "$native" -DYURN_TESTS=OFF -DYURN_BENCH=OFF -DYURN_FUZZ=OFF -DYURN_SANITIZE= -- yurn-pak
fi
[ -x "$native/yurn-pak" ] || { echo "web.sh: no hay $native/yurn-pak" >&2; exit 1; }

# Quiet, with the whole log when something fails.
mkdir -p build-web
log=build-web/build.log
if ! { emcmake cmake -S . -B build-web -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build-web -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "web.sh: no se pudo construir la página (registro completo en $log)" >&2
  exit 1
fi

site=build-web/site
rm -rf "$site"
mkdir -p "$site/datos"
cp web/index.html web/yurn-page.js build-web/yurn.js build-web/yurn.wasm "$site/"
if [ -n "$show_dir" ]; then
  # The show's own data: its file, what it reads packed under the names it
  # asks for, and its music, which streams from its own URL beside them.
  cp "$show_dir/show.toml" "$site/show.toml"
  "$native/yurn-pak" create --show "$show_dir/show.toml" "$site/Yurn.pak" >/dev/null
  music=$(python3 -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb")).get("music", {}).get("file", ""))' \
          "$show_dir/show.toml")
  if [ -n "$music" ]; then
    mkdir -p "$site/$(dirname "$music")"
    cp "$show_dir/$music" "$site/$music"
  fi
  printf '["show.toml", "Yurn.pak"]\n' >"$site/files.json"
  echo "web: página del espectáculo $show_dir/show.toml en $site/"
  if ((serve)); then
    echo "web: sirviendo en http://localhost:$port/ (Ctrl+C para terminar)"
    exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site"
  fi
  exit 0
fi
"$native/yurn-pak" create "$site/Yurn.pak" datos/*.pcx >/dev/null
# The sound track streams from its own URL; the meshes are read like the
# archive, from the program's file system, which the page fills at start.
cp datos/cancion.mp3 datos/CREDITS "$site/datos/"
loaded=("Yurn.pak")
for f in datos/*; do
  case $f in *.pcx|*.mp3|*/CREDITS) continue ;; esac
  cp "$f" "$site/datos/"
  loaded+=("$f")
done
printf '%s\n' "${loaded[@]}" | python3 -c 'import json, sys; print(json.dumps(sys.stdin.read().split()))' \
  > "$site/files.json"

echo "web: página en $site/"
if ((serve)); then
  echo "web: sirviendo en http://localhost:$port/ (Ctrl+C para terminar)"
  exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site"
fi
