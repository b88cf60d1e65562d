#!/usr/bin/env bash
# After a fatal error in a window the message box waits for a click; SIGINT,
# SIGTERM and SIGHUP must each end the process at once with exit code 1 (a
# logout or a service manager must not hang on it).  Under Xvfb: a damaged
# first photograph gives the error once the window exists; the script waits
# for the box, sends the signal and waits (bounded) for the end.
# Usage: error_box_signal.sh BUILD_DIR
set -u
build=${1:?build directory}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/xvfb.sh"
need_xdotool
run_in_xvfb 300 1024x768x24 "$0" "$build"
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

work=$(mktemp -d)
mkdir -p "$work/data/datos"
for f in "$source_dir"/datos/Foto*.pcx; do ln -s "$f" "$work/data/datos/"; done
rm "$work/data/datos/Foto1.pcx"
printf 'esto no es un PCX' >"$work/data/datos/Foto1.pcx"
failed=0
# The display library may show its box through a dialog program of its own
# (zenity) that it starts and waits for; a stand-in in PATH records its pid
# and waits as a box would, so the test knows the box is up whichever way it
# is shown, and can check that the box goes with the process.
mkdir "$work/bin"
cat >"$work/bin/zenity" <<STANDIN
#!/bin/sh
echo \$\$ >"$work/box-pid"
exec sleep 600
STANDIN
chmod +x "$work/bin/zenity"
cleanup() {
  [ -s "$work/box-pid" ] && kill "$(cat "$work/box-pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for signal in INT TERM HUP; do
  rm -f "$work/box-pid"
  PATH="$work/bin:$PATH" "$build/yurn" --window --data "$work/data" 2>"$work/stderr" &
  pid=$!
  # The box: a window of its own named "Error", or the dialog program.
  deadline=$((SECONDS + 90)) box=""
  while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
    box=$(xdotool search --name '^Error$' 2>/dev/null | head -n 1)
    [ -n "$box" ] && break
    [ -s "$work/box-pid" ] && box=$(cat "$work/box-pid") && break
    sleep 0.05
  done
  if [ -z "$box" ]; then
    echo "FAIL: SIG$signal: no error box appeared"; cat "$work/stderr"; kill -KILL "$pid" 2>/dev/null; failed=1; continue
  fi
  kill -"$signal" "$pid"
  # "At once": well within a bound that a loaded machine still meets.
  deadline=$((SECONDS + 20))
  while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: SIG$signal: the box stayed up"; kill -KILL "$pid"; wait "$pid" 2>/dev/null; failed=1; continue
  fi
  wait "$pid"; code=$?
  if [ "$code" -ne 1 ]; then
    echo "FAIL: SIG$signal: exit code $code, expected 1"; failed=1; continue
  fi
  if [ -s "$work/box-pid" ]; then
    helper=$(cat "$work/box-pid")
    deadline=$((SECONDS + 20))
    while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$helper" 2>/dev/null; do sleep 0.05; done
    if kill -0 "$helper" 2>/dev/null; then
      echo "FAIL: SIG$signal: the process ended but its box stayed on the screen"; kill "$helper"; failed=1; continue
    fi
  fi
  grep -q "NO ES DE FORMATO PCX" "$work/stderr" || { echo "FAIL: SIG$signal: the error was not on stderr"; cat "$work/stderr"; failed=1; continue; }
  echo "ok: SIG$signal closed the error box with exit code 1"
done
exit $failed
