#!/usr/bin/env bash
# With no display at all the show ends with 1, the window message and a
# second line that points at --headless.  Usage: no_display.sh BUILD_DIR
set -u
build=${1:?build directory}
stderr=$(mktemp)
trap 'rm -f "$stderr"' EXIT
env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEODRIVER=x11 timeout 60 "$build/yurn" 2>"$stderr"
code=$?
status=0
if [ "$code" -ne 1 ]; then
  echo "FAIL: exit code $code, expected 1"
  status=1
fi
if ! grep -q "^ERROR: no puedo crear la ventana$" "$stderr"; then
  echo "FAIL: no window message"
  status=1
fi
if ! grep -q -- "--headless" "$stderr"; then
  echo "FAIL: no hint about --headless"
  status=1
fi
[ "$status" -ne 0 ] && cat "$stderr"
[ "$status" -eq 0 ] && echo "ok: no display ends with 1 and the hint"
exit "$status"
