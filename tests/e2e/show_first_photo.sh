#!/usr/bin/env bash
# The real show, full screen under Xvfb: the screen shows the first photograph
# (datos/Foto1.pcx, scaled up by the largest whole factor, letterboxed in
# black if the screen asks for it), and Escape ends the show with 0.  Usage: show_first_photo.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
cd "$(dirname "$0")/../.."
for tool in xvfb-run xdotool import compare convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit 0
  fi
done
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
# A 4:3 screen three times the frame: without a window manager a full-screen
# window keeps the size it was created with, so the screen is made to match.
run_in_xvfb 120 960x720x24 "$0" "$build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/yurn-pcx" decode datos/Foto1.pcx "$work/expected.png" >/dev/null || { echo "FAIL: cannot decode Foto1"; exit 1; }
# The program writes how many frames it has presented to this file (at 1, 2,
# 4, 8, ... frames): the screenshot waits for that, never for a fixed time.
frames_file=$work/frames
SDL_AUDIODRIVER=dummy YURN_FRAME_FILE="$frames_file" "$build/yurn" 2>"$work/stderr" &
pid=$!
wid=""
presented=0
# A generous bound (a sanitizer build on a loaded machine starts slowly);
# the loop ends as soon as the condition holds.
deadline=$((SECONDS + 90))
while [ "$SECONDS" -lt "$deadline" ]; do
  kill -0 "$pid" 2>/dev/null || break
  presented=$(cat "$frames_file" 2>/dev/null || echo 0)
  # Looked up only once frames are shown: SDL replaces its hidden first
  # window when it makes its renderer, so an early id can go stale.
  [ "$presented" -ge 8 ] && wid=$(xdotool search --onlyvisible --name '^DDrawInterface$' 2>/dev/null | head -n 1)
  [ -n "$wid" ] && break
  sleep 0.05
done
if [ -z "$wid" ] || [ "$presented" -lt 8 ]; then
  echo "FAIL: no window \"DDrawInterface\" with 8 frames presented appeared (window ${wid:-none}, $presented frames)"
  cat "$work/stderr"
  kill "$pid" 2>/dev/null
  exit 1
fi
# The first photograph stays until the cue at 5 s.  The show is held still
# while the screen is read, so a slow machine cannot reach the cross-fade.
kill -STOP "$pid"
import -window root "$work/screen.png"
kill -CONT "$pid"

# The frame is scaled by the largest whole factor that fits the screen and
# centred, with black bands around it when the screen is not 4:3 of it.
status=0
read -r sw sh < <(convert "$work/screen.png" -format "%w %h" info:)
scale=$((sw / 320 < sh / 240 ? sw / 320 : sh / 240))
w=$((320 * scale)); h=$((240 * scale)); x=$(((sw - w) / 2)); y=$(((sh - h) / 2))
convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage -sample 320x240 "$work/shown.png"
rmse=$(compare -metric RMSE "$work/shown.png" "$work/expected.png" null: 2>&1 | sed -n 's/.*(\([0-9.e-]*\)).*/\1/p')
if ! awk -v e="$rmse" 'BEGIN { exit !(e != "" && e < 0.02) }'; then
  echo "FAIL: the screen is not the first photograph (normalised RMSE ${rmse:-?}; frame looked for at ${w}x${h}+${x}+${y})"
  status=1
fi
if [ "$x" -gt 0 ] || [ "$y" -gt 0 ]; then
  for corner in "0,0" "$((sw - 1)),$((sh - 1))"; do
    colour=$(convert "$work/screen.png" -format "%[hex:p{$corner}]" info:)
    case "$colour" in
      000000*) ;;
      *) echo "FAIL: letterbox pixel $corner is #$colour, not black"; status=1 ;;
    esac
  done
fi
[ "$status" -ne 0 ] && cp "$work/screen.png" /tmp/show_first_photo-screen.png 2>/dev/null &&
  echo "screenshot kept in /tmp/show_first_photo-screen.png"

xdotool key --window "$wid" Escape
wait "$pid"
code=$?
if [ "$code" -ne 0 ]; then
  echo "FAIL: exit code $code after Escape, expected 0"
  cat "$work/stderr"
  status=1
fi
[ "$status" -eq 0 ] && echo "ok: the first photograph filled the screen (RMSE $rmse) and Escape ended with 0"
exit "$status"
