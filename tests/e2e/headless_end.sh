#!/usr/bin/env bash
# The whole show on the headless display runs to its end: exit code 19, and
# the frame-rate report of --stats on standard error.  Usage: headless_end.sh BUILD_DIR
set -u
build=${1:?build directory}
stderr=$(mktemp)
trap 'rm -f "$stderr"' EXIT
timeout 300 "$build/yurn" --headless --stats 2>"$stderr"
code=$?
if [ "$code" -ne 19 ]; then
  echo "FAIL: exit code $code, expected 19"
  cat "$stderr"
  exit 1
fi
if ! grep -q "3001 frames renderizados en 50 segundos" "$stderr"; then
  echo "FAIL: unexpected report:"
  cat "$stderr"
  exit 1
fi
# Then the start-up, step by step, up to the first presented frame.
if ! grep -q "^Arranque hasta el primer fotograma: [0-9.]* segundos$" "$stderr" ||
   ! grep -q "^ *[0-9.]* ms  primer fotograma: presentarlo$" "$stderr"; then
  echo "FAIL: no start-up steps in the report:"
  cat "$stderr"
  exit 1
fi
echo "ok: the headless show ended with 19"
