#!/usr/bin/env bash
# With no display at all the show ends with 1, the window message and a
# second line that points at --headless; nothing else is printed (no sound
# or display library chatter), so that line is what the user reads last.
# Usage: no_display.sh BUILD_DIR
set -u
build=${1:?build directory}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# 1: SDL asked for X by name; 2: SDL left to probe every driver it has, with
# nothing in the environment that could lead it to a display or a sound server.
env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEODRIVER=x11 timeout 60 "$build/yurn" 2>"$work/x11"
echo $? >"$work/x11.code"
env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_RUNTIME_DIR -u SDL_VIDEODRIVER -u SDL_AUDIODRIVER \
  timeout 60 "$build/yurn" 2>"$work/probe"
echo $? >"$work/probe.code"

for run in x11 probe; do
  code=$(cat "$work/$run.code")
  [ "$code" -eq 1 ] || fail "$run: exit code $code, expected 1"
  grep -q "^ERROR: no puedo crear la ventana$" "$work/$run" || fail "$run: no window message"
  tail -n 1 "$work/$run" | grep -q "^No hay pantalla disponible.*--headless" || fail "$run: the last line is not the hint about --headless"
  lines=$(grep -vc "^$" "$work/$run")
  [ "$lines" -eq 2 ] || fail "$run: $lines lines on standard error, expected our two"
  [ "$status" -ne 0 ] && { echo "--- $run:"; cat "$work/$run"; }
done
[ "$status" -eq 0 ] && echo "ok: no display ends with 1 and the hint, and nothing else"
exit "$status"
