#!/usr/bin/env bash
# The show in a real window under Xvfb: wait for the window, toggle full
# screen with Alt+Enter twice, press Escape, expect exit code 0.  Usage: window_escape.sh BUILD_DIR
set -u
build=${1:?build directory}
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
need_xdotool
run_in_xvfb 120 1024x768x24 "$0" "$build"

# Sanitizer builds: the system's display libraries are not ours to fix.

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stderr=$work/stderr
# The program writes how many frames it has presented to this file (at 1, 2,
# 4, 8, ... frames): the script waits on that, never for a fixed time.
frames_file=$work/frames
YURN_FRAME_FILE="$frames_file" "$build/yurn" --window 2>"$stderr" &
pid=$!
presented() { cat "$frames_file" 2>/dev/null || echo 0; }
# Waits (generously bounded) until more than $1 frames have been presented
# and the window is there; false if the show ended or the bound passed.
wait_frames() {
  local deadline=$((SECONDS + 90))
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$pid" 2>/dev/null || return 1
    # Looked up only once frames are shown: SDL replaces its hidden first
    # window when it makes its renderer, so an early id can go stale.
    if [ "$(presented)" -gt "$1" ]; then
      wid=$(xdotool search --onlyvisible --name '^DDrawInterface$' 2>/dev/null | head -n 1)
      [ -n "$wid" ] && return 0
    fi
    sleep 0.05
  done
  return 1
}
wid=""
if ! wait_frames 4; then
  echo "FAIL: no window \"DDrawInterface\" presenting frames appeared (window ${wid:-none}, $(presented) frames)"
  cat "$stderr"
  kill "$pid" 2>/dev/null
  exit 1
fi
# Alt+Enter goes full screen and back; the show goes on presenting frames.
for _ in 1 2; do
  xdotool key --window "$wid" alt+Return
  if ! wait_frames "$(presented)"; then
    if kill -0 "$pid" 2>/dev/null; then
      echo "FAIL: no frame was presented after Alt+Enter"
      kill "$pid"
    else
      wait "$pid"
      echo "FAIL: the show ended (code $?) after Alt+Enter"
    fi
    cat "$stderr"
    exit 1
  fi
done
xdotool key --window "$wid" Escape
wait "$pid"
code=$?
if [ "$code" -ne 0 ]; then
  echo "FAIL: exit code $code after Escape, expected 0"
  cat "$stderr"
  exit 1
fi
echo "ok: Escape ended the show with 0"
