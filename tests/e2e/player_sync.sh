#!/usr/bin/env bash
# The sound kept with the picture, in a real window under Xvfb with SDL's
# disk audio driver (it takes the samples at the sound's pace, as a device
# does): the show plays, pauses, resumes, seeks both ways and plays on with a
# busy process beside it; --stats then reports the offset between the music
# heard and the frame going to the screen, which must stay within one frame
# (17 ms) from the first second after each start, pause or seek for 99 % of
# the frames, and never pass 250 ms (past which the player would move the
# music itself): on a shared machine the system may hold the whole program
# or its sound thread back for a few frames now and then, which no clock can
# undo, while a clock that drifts or a seek that leaves the music behind
# shows in every frame after it.
# Usage: player_sync.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
need_xdotool
run_in_xvfb 300 1024x768x24 "$0" "$build"

work=$(mktemp -d)
busy=""
trap '[ -n "$busy" ] && kill "$busy" 2>/dev/null; rm -rf "$work"' EXIT
stderr=$work/stderr
frames_file=$work/frames
cd "$work"
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/sound.raw" YURN_FRAME_FILE="$frames_file" \
  "$build/yurn" --window --stats --data "$source_dir" 2>"$stderr" &
pid=$!
presented() { cat "$frames_file" 2>/dev/null || echo 0; }
wait_until() {
  local deadline=$((SECONDS + 120))
  while [ "$SECONDS" -lt "$deadline" ]; do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
more_than() { [ "$(presented)" -gt "$1" ]; }
window_up() {
  more_than 64 || return 1
  wid=$(xdotool search --onlyvisible --name '^DDrawInterface$' 2>/dev/null | head -n 1)
  [ -n "$wid" ]
}
shots_taken() { [ "$(grep -c 'guardado en' "$stderr")" -ge "$1" ]; }
step() {
  wait_until "$@" || { echo "FAIL: the show stopped or hung waiting for: $*"; cat "$stderr"; kill "$pid" 2>/dev/null; exit 1; }
}
wid=""
step window_up
key() { xdotool key --window "$wid" "$@"; }
# Paused for as long as a screenshot takes, then on again.
key space s
step shots_taken 1
key space
step more_than 128
key Right
key s
step shots_taken 2
step more_than 256
key Left Left
key s
step shots_taken 3
# Under load: a busy process beside the show until 256 more frames.
( while :; do :; done ) &
busy=$!
step more_than 512
kill "$busy"
busy=""
key Escape 2>/dev/null  # the window may be gone before the key is let go
wait "$pid"
code=$?
[ "$code" -eq 0 ] || { echo "FAIL: exit code $code after Escape"; cat "$stderr"; exit 1; }
line=$(grep '^Desfase entre música e imagen' "$stderr")
if [ -z "$line" ]; then
  echo "FAIL: --stats printed no offset between sound and picture"
  cat "$stderr"
  exit 1
fi
echo "$line"
largest=$(echo "$line" | sed -n 's/.*máximo \([0-9.]*\) ms.*/\1/p')
most=$(echo "$line" | sed -n 's/.*el 99 % dentro de \([0-9.]*\) ms.*/\1/p')
count=$(echo "$line" | sed -n 's/.* en \([0-9]*\) medidas.*/\1/p')
if [ -z "$largest" ] || [ -z "$most" ] || [ "${count:-0}" -lt 100 ]; then
  echo "FAIL: too few measures or an unreadable line"
  exit 1
fi
if awk -v p="$most" -v m="$largest" 'BEGIN { exit !(p <= 17.0 && m <= 250.0) }'; then
  echo "ok: sound and picture within $most ms of each other in 99 % of $count frames, $largest ms at most"
else
  echo "FAIL: sound and picture within $most ms in 99 % of the frames (at most 17 ms wanted), $largest ms at most (250 ms)"
  cat "$stderr"
  exit 1
fi
