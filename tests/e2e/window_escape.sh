#!/usr/bin/env bash
# The show in a real window under Xvfb: wait for the window, toggle full
# screen with Alt+Enter twice, press Escape, expect exit code 0.  Usage: window_escape.sh BUILD_DIR
set -u
build=${1:?build directory}
if ! command -v xvfb-run >/dev/null; then
  echo "SKIP: xvfb-run is not installed"
  exit 0
fi
if ! command -v xdotool >/dev/null; then
  echo "FAIL: xdotool is not installed (scripts/setup.sh installs it)"
  exit 1
fi
if [ "${XVFB_INNER:-}" != 1 ]; then
  XVFB_INNER=1 exec timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$build"
fi

# Sanitizer builds: the system's display libraries are not ours to fix.
here=$(cd "$(dirname "$0")" && pwd)
export TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$here/sanitizer.supp"
export LSAN_OPTIONS="${LSAN_OPTIONS:-} suppressions=$here/lsan.supp"

stderr=$(mktemp)
trap 'rm -f "$stderr"' EXIT
"$build/yurn" --window 2>"$stderr" &
pid=$!
wid=""
for _ in $(seq 1 200); do
  wid=$(xdotool search --name '^DDrawInterface$' 2>/dev/null | head -n 1)
  [ -n "$wid" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$wid" ]; then
  echo "FAIL: no window \"DDrawInterface\" appeared"
  cat "$stderr"
  kill "$pid" 2>/dev/null
  exit 1
fi
sleep 1  # let a few frames be presented
# Alt+Enter goes full screen and back; the show goes on.
xdotool key --window "$wid" alt+Return
sleep 0.3
xdotool key --window "$wid" alt+Return
sleep 0.3
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid"
  echo "FAIL: the show ended (code $?) after Alt+Enter"
  cat "$stderr"
  exit 1
fi
xdotool key --window "$wid" Escape
wait "$pid"
code=$?
if [ "$code" -ne 0 ]; then
  echo "FAIL: exit code $code after Escape, expected 0"
  cat "$stderr"
  exit 1
fi
echo "ok: Escape ended the show with 0"
