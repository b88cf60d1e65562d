#!/usr/bin/env bash
# Builds the show for the browser into build-web/site/ and serves that folder
# on http://localhost:8000/ (a small static server that compresses what pays,
# scripts/web_serve.py; the folder works unchanged on any web host).
# web.sh [--build-only] [--port N] [--show DIR]
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
[ -n "${YURN_SKIP_SETUP:-}" ] || scripts/setup.sh web

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
# Two builds of the program: yurn.* with WebAssembly SIMD, yurn-plain.* for a
# browser without it; the page loads one of them.
cp web/index.html web/yurn-page.js build-web/yurn.js build-web/yurn.wasm build-web/yurn-plain.js \
  build-web/yurn-plain.wasm "$site/"
# Each show's page fetches its own data only (files.json lists them per show,
# with their sizes for the progress bar): the photograph show the archive of
# its ten photographs, the engine show its meshes, textures and photograph.
# The page fetches the sound track with them and decodes it before the click.
# files.json: each show's paths, the sound track the page decodes before the
# click ("music", when there is one), then the sizes of everything listed.
manifest() {
  (cd "$site" && python3 - "$@" >files.json <<'PY'
import json, os, sys
shows = json.loads(sys.argv[1])
music = {"music": sys.argv[2]} if len(sys.argv) > 2 and sys.argv[2] else {}
listed = [p for paths in shows.values() for p in paths] + ["yurn.wasm", "yurn-plain.wasm"] + list(music.values())
print(json.dumps({**shows, **music, "sizes": {p: os.path.getsize(p) for p in listed}}, indent=1))
PY
  )
}
if [ -n "$show_dir" ]; then
  # A show of one's own: its file, what it reads packed under the names it
  # asks for, and its music, which streams from its own URL beside them.
  cp "$show_dir/show.toml" "$site/show.toml"
  "$native/yurn-pak" create --show "$show_dir/show.toml" "$site/Yurn.pak" >/dev/null
  music=$(python3 -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb")).get("music", {}).get("file", ""))' \
          "$show_dir/show.toml")
  if [ -n "$music" ]; then
    mkdir -p "$site/$(dirname "$music")"
    cp "$show_dir/$music" "$site/$music"
  fi
  manifest '{"show": ["show.toml", "Yurn.pak"]}' "$music"
  echo "web: página del espectáculo $show_dir/show.toml en $site/"
else
  "$native/yurn-pak" create "$site/Yurn.pak" datos/Foto[0-9]*.pcx >/dev/null
  engine=(datos/Foto1.pcx datos/cielo.pcx datos/agua.pcx datos/nudo.3ds datos/esfera.txt datos/toro.txt datos/halo.txt)
  cp datos/cancion.mp3 datos/CREDITS "${engine[@]}" "$site/datos/"
  manifest "$(printf '{"show": ["Yurn.pak"], "engine": [%s]}' "$(printf '"%s",' "${engine[@]}" | sed 's/,$//')")" datos/cancion.mp3
  echo "web: página en $site/"
fi

if ((serve)); then
  echo "web: sirviendo en http://localhost:$port/ (Ctrl+C para terminar)"
  exec python3 scripts/web_serve.py "$port" "$site"
fi
