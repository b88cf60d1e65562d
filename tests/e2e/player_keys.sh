#!/usr/bin/env bash
# The player's keys in a real window under Xvfb: Space pauses, Right seeks
# 5 s on, ',' steps a frame back, Shift+Left seeks 1 s back, Home goes to the
# start, H shows the keys, S saves the frame on the screen; every screenshot
# is a new PNG equal to the headless capture's frame of the same number (the
# keys drawn over the screen are not in it), and Escape still ends with 0.
# Usage: player_keys.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
need_xdotool
run_in_xvfb 300 1024x768x24 "$0" "$build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
stderr=$work/stderr
frames_file=$work/frames
mkdir "$work/shots"
cd "$work/shots"
# No sound device under Xvfb: SDL's disk driver plays the music into a file.
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/sound.raw" YURN_FRAME_FILE="$frames_file" \
  "$build/yurn" --window --data "$source_dir" 2>"$stderr" &
pid=$!
presented() { cat "$frames_file" 2>/dev/null || echo 0; }
# Waits (generously bounded) for a condition; false if the show ended first.
wait_until() {
  local deadline=$((SECONDS + 90))
  while [ "$SECONDS" -lt "$deadline" ]; do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
window_up() {
  [ "$(presented)" -gt 8 ] || return 1
  wid=$(xdotool search --onlyvisible --name '^DDrawInterface$' 2>/dev/null | head -n 1)
  [ -n "$wid" ]
}
shots_taken() { [ "$(grep -c 'guardado en' "$stderr")" -ge "$1" ]; }
wid=""
if ! wait_until window_up; then
  echo "FAIL: no window presenting frames appeared"
  cat "$stderr"
  kill "$pid" 2>/dev/null
  exit 1
fi
key() { xdotool key --window "$wid" "$@"; }
# Each screenshot waits for its line on standard error: the keys before it
# have been carried out by then.
shot() {
  local n=$1
  key s
  wait_until shots_taken "$n" || { fail "screenshot $n was not taken"; cat "$stderr"; kill "$pid"; exit 1; }
}
key space
key Right
shot 1
key comma
shot 2
key shift+Left
shot 3
key Home
shot 4
key h
shot 5
key Escape 2>/dev/null  # the window may be gone before the key is let go
wait "$pid"
code=$?
[ "$code" -eq 0 ] || fail "exit code $code after Escape, expected 0"

# "yurn: fotograma N (T s) guardado en NAME"
mapfile -t numbers < <(sed -n 's/^yurn: fotograma \([0-9]*\) .* guardado en \(.*\)$/\1/p' "$stderr")
mapfile -t names < <(sed -n 's/^yurn: fotograma \([0-9]*\) .* guardado en \(.*\)$/\2/p' "$stderr")
[ "${#numbers[@]}" -eq 5 ] || { fail "expected 5 screenshots, got ${#numbers[@]}"; cat "$stderr"; exit 1; }
first=${numbers[0]}
[ "$first" -ge 300 ] || fail "after a pause and Right the frame is $first, expected at least 300 (5 s at 60 fps)"
[ "${numbers[1]}" -eq $((first - 1)) ] || fail "',' went from frame $first to ${numbers[1]}"
[ "${numbers[2]}" -eq $((first - 61)) ] || fail "Shift+Left went from frame $((first - 1)) to ${numbers[2]}"
[ "${numbers[3]}" -eq 0 ] || fail "Home went to frame ${numbers[3]}"
[ "${names[3]}" = yurn-show-0.png ] || fail "the screenshot of frame 0 is named ${names[3]}"
[ "${names[4]}" = yurn-show-0-2.png ] || fail "the second screenshot of frame 0 is named ${names[4]}, not a new name"
for name in "${names[@]}"; do
  [ -s "$name" ] || fail "$name is missing"
done

# The same frames from the headless capture, cut once the last one needed is written.
if ! command -v ffmpeg >/dev/null; then
  echo "SKIP (comparison): ffmpeg is not installed"
  exit "$status"
fi
capture=$work/capture
"$build/yurn" --capture "$capture" --format ppm --data "$source_dir" 2>"$work/capture-stderr" &
cpid=$!
last=$(printf 'frame-%06d.ppm' $((first + 1)))
deadline=$((SECONDS + 120))
while [ ! -e "$capture/$last" ] && [ "$SECONDS" -lt "$deadline" ] && kill -0 "$cpid" 2>/dev/null; do
  sleep 0.05
done
kill -s INT "$cpid" 2>/dev/null
wait "$cpid"
for i in "${!names[@]}"; do
  frame=$(printf '%s/frame-%06d.ppm' "$capture" "${numbers[$i]}")
  [ -e "$frame" ] || { fail "the capture has no $frame"; continue; }
  if ! cmp -s <(ffmpeg -v error -i "${names[$i]}" -f rawvideo -pix_fmt rgb24 -) <(tail -c $((320 * 240 * 3)) "$frame"); then
    fail "${names[$i]} differs from the capture's frame ${numbers[$i]}"
  fi
done
[ "$status" -eq 0 ] && echo "ok: pause, seeks, frame steps and screenshots; every screenshot is the capture's frame"
exit "$status"
