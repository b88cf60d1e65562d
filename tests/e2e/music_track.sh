#!/usr/bin/env bash
# The sound track in the real-time show: a FIFO, a folder or a device in its
# place, a missing one and one that is no sound each leave a show that plays
# (frames are presented) in silence, after one Spanish line on standard error
# naming the file; the real track gets no such line.  Under Xvfb.
# Usage: music_track.sh BUILD_DIR
set -u
build=${1:?build directory}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
run_in_xvfb 300 1024x768x24 "$0" "$build"
# No sound card needed: the lines come from opening the file, not the device.
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# A data folder whose photographs are the real ones and whose track is $2.
make_data() {
  local d=$work/$1
  mkdir -p "$d/datos"
  for f in "$source_dir"/datos/Foto*.pcx; do ln -s "$f" "$d/datos/"; done
  echo "$d"
}

# Plays the show from data folder $1 until more than 4 frames are presented
# (generously bounded), then ends it; stderr in $work/stderr.
play() {
  local frames=$work/frames
  rm -f "$frames"
  YURN_FRAME_FILE="$frames" "$build/yurn" --window --data "$1" 2>"$work/stderr" &
  local pid=$! deadline=$((SECONDS + 90)) shown=0
  while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
    if [ "$(cat "$frames" 2>/dev/null || echo 0)" -gt 4 ]; then shown=1; break; fi
    sleep 0.05
  done
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  [ "$shown" = 1 ]
}

check() {  # name, expected text of the one line
  local name=$1 text=$2 data=$3
  if ! play "$data"; then
    fail "$name: the show presented no frames"; cat "$work/stderr"; return
  fi
  local lines
  lines=$(grep -c "la función sigue sin sonido" "$work/stderr")
  [ "$lines" = 1 ] || { fail "$name: $lines lines about the music, expected 1"; cat "$work/stderr"; return; }
  # Our line comes first, before anything a decoder may print.
  head -n 1 "$work/stderr" | grep -qF -- "$text" || { fail "$name: first line is not \"$text\""; cat "$work/stderr"; return; }
  grep -qF "$data/datos/cancion.mp3" "$work/stderr" || fail "$name: the message does not name the track"
  echo "ok: $name"
}

d=$(make_data fifo); mkfifo "$d/datos/cancion.mp3"
check "FIFO" "es una tubería (FIFO), no un fichero" "$d"
d=$(make_data folder); mkdir "$d/datos/cancion.mp3"
check "folder" "es una carpeta, no un fichero" "$d"
d=$(make_data device); ln -s /dev/zero "$d/datos/cancion.mp3"
check "device" "es un dispositivo de caracteres, no un fichero" "$d"
d=$(make_data missing)
check "missing" "No encuentro la música" "$d"
d=$(make_data garbage)
for _ in $(seq 4000); do echo "esto no es una canción, solo texto"; done >"$d/datos/cancion.mp3"
check "garbage" "no es un MP3 ni otro sonido que sepa leer" "$d"

# The real track: no line about the music.
d=$(make_data real); ln -s "$source_dir/datos/cancion.mp3" "$d/datos/cancion.mp3"
if play "$d"; then
  if grep -q "música" "$work/stderr"; then fail "the real track was reported"; cat "$work/stderr"; else echo "ok: real track"; fi
else
  fail "real track: no frames"; cat "$work/stderr"
fi
exit $failed
