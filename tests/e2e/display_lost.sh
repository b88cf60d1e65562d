#!/usr/bin/env bash
# The X server goes away under a running show: the show ends with 1 and our
# own message, not the X library's ("XIO", "BadWindow").  Usage: display_lost.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
if ! command -v Xvfb >/dev/null; then
  echo "SKIP: Xvfb is not installed"
  exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
export TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$here/sanitizer.supp"
export LSAN_OPTIONS="${LSAN_OPTIONS:-} suppressions=$here/lsan.supp"
work=$(mktemp -d)
xvfb=""
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A server of our own, on a display number it picks itself.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
deadline=$((SECONDS + 60))
until [ -s "$work/display" ] || [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$xvfb" 2>/dev/null; do sleep 0.05; done
if [ ! -s "$work/display" ]; then
  echo "FAIL: Xvfb did not start"
  cat "$work/xvfb.log"
  exit 1
fi
export DISPLAY=":$(head -n 1 "$work/display")"

SDL_AUDIODRIVER=dummy YURN_FRAME_FILE="$work/frames" "$build/yurn" --window 2>"$work/stderr" &
pid=$!
deadline=$((SECONDS + 90))
until [ "$(cat "$work/frames" 2>/dev/null || echo 0)" -ge 4 ] || [ "$SECONDS" -ge "$deadline" ] ||
  ! kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
if [ "$(cat "$work/frames" 2>/dev/null || echo 0)" -lt 4 ]; then
  echo "FAIL: the show presented no frames"
  cat "$work/stderr"
  exit 1
fi

kill -KILL "$xvfb"
wait "$xvfb" 2>/dev/null
xvfb=""
# The show notices at its next frame; the bound is only there so a hang fails.
deadline=$((SECONDS + 60))
while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the show is still running without its display"
  exit 1
fi
wait "$pid"
code=$?
pid=""
status=0
[ "$code" -eq 1 ] || { echo "FAIL: exit code $code, expected 1"; status=1; }
grep -q "^ERROR: se perdió la conexión con la pantalla" "$work/stderr" ||
  { echo "FAIL: no message of ours about the lost display"; status=1; }
if grep -qiE "XIO|BadWindow|X Error|Xlib" "$work/stderr"; then
  echo "FAIL: the X library's own words reached the user"
  status=1
fi
[ "$status" -ne 0 ] && cat "$work/stderr"
[ "$status" -eq 0 ] && echo "ok: a lost display ends with 1 and our message"
exit "$status"
