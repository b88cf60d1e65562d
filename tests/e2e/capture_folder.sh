#!/usr/bin/env bash
# yurn --capture DIR as a whole program: Ctrl+C (SIGINT) or SIGTERM in the
# middle leaves every frame so far, a whole frames.tsv and sound.wav, and a
# non-zero exit that says so; a folder holding files is refused without
# --overwrite, and with it when a file no capture of ours wrote would be
# replaced; a kill -9 during --overwrite leaves the earlier capture whole; a
# video name we cannot write is a usage error.
# Usage: capture_folder.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# Waits (up to a minute) for a file to appear; false if it never does.
wait_for() {
  for _ in $(seq 1 1200); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

for sig in INT TERM; do
  dir="$work/cut-$sig"
  # 600 fps: 30,001 frames, far more than are written before the signal lands.
  "$build/yurn" --capture "$dir" --fps 600 --format raw --depth 8 2>"$work/stderr-$sig" &
  pid=$!
  wait_for "$dir/frame-000010.raw" || fail "$sig: no frames appeared"
  kill -s "$sig" "$pid"
  wait "$pid"
  code=$?
  expected=$((128 + $(kill -l "$sig")))
  [ "$code" -eq "$expected" ] || fail "$sig: exit code $code, expected $expected"
  grep -q "interrumpida" "$work/stderr-$sig" || { fail "$sig: no line saying the capture was interrupted"; cat "$work/stderr-$sig"; }
  frames=$(ls "$dir" | grep -c '^frame-.*\.raw$')
  rows=$(($(wc -l <"$dir/frames.tsv") - 1))
  [ "$frames" -ge 11 ] && [ "$frames" -lt 30001 ] || fail "$sig: $frames frames"
  [ "$rows" -eq "$frames" ] || fail "$sig: frames.tsv lists $rows frames, the folder holds $frames"
  last=$(tail -n 1 "$dir/frames.tsv" | cut -f1)
  [ "$last" = $((frames - 1)) ] || fail "$sig: frames.tsv ends at frame $last"
  # sound.wav: 44 bytes of header and the samples up to T of the last frame.
  size=$(stat -c %s "$dir/sound.wav" 2>/dev/null || echo 0)
  [ "$size" -eq $((44 + (frames - 1) * 44100 / 600 * 4)) ] || fail "$sig: sound.wav has $size bytes"
  ! ls -A "$dir" | grep -q '\.tmp-' || fail "$sig: temporaries left behind"
done

# A folder with frames in it: refused (exit 1) and left as it was.
mkdir -p "$work/full" && touch "$work/full/frame-000000.png" "$work/full/keep.txt"
"$build/yurn" --capture "$work/full" --fps 1 2>"$work/stderr-full"
code=$?
[ "$code" -eq 1 ] || fail "non-empty folder: exit code $code, expected 1"
grep -q -- "--overwrite" "$work/full/../stderr-full" || { fail "non-empty folder: no hint of --overwrite"; cat "$work/stderr-full"; }
[ "$(ls "$work/full" | wc -l)" -eq 2 ] || fail "non-empty folder was changed"
# With --overwrite too: no capture of ours wrote that frame, and the new one
# would replace it (exit 1, the file named).
"$build/yurn" --capture "$work/full" --fps 1 --overwrite 2>"$work/stderr-full"
code=$?
[ "$code" -eq 1 ] || fail "a user's frame-000000.png: exit code $code, expected 1"
grep -q "full/frame-000000.png" "$work/stderr-full" || { fail "the user's file is not named"; cat "$work/stderr-full"; }
[ "$(ls "$work/full" | wc -l)" -eq 2 ] || fail "a refused --overwrite changed the folder"
# Over an earlier capture of ours, with a file of the user's beside it.
rm "$work/full/frame-000000.png"
mv "$work/full/keep.txt" "$work/keep.txt"
rmdir "$work/full"
"$build/yurn" --capture "$work/full" --fps 2 2>/dev/null
mv "$work/keep.txt" "$work/full/keep.txt"
"$build/yurn" --capture "$work/full" --fps 1 --overwrite 2>/dev/null
code=$?
[ "$code" -eq 19 ] || fail "--overwrite: exit code $code, expected 19"
[ -e "$work/full/keep.txt" ] || fail "--overwrite removed a file that is not ours"
[ "$(ls "$work/full" | grep -c '^frame-')" -eq 51 ] || fail "--overwrite: not 51 frames"

# kill -9 in the middle of an --overwrite: the earlier capture is as it was.
(cd "$work/full" && md5sum * .yurn-capture) >"$work/full.md5"
"$build/yurn" --capture "$work/full" --overwrite --fps 600 --format raw --depth 8 2>/dev/null &
pid=$!
staged=""
for _ in $(seq 1 1200); do
  staged=$(ls -d "$work"/.full.tmp-*/frame-000010.raw 2>/dev/null | head -n 1)
  [ -n "$staged" ] && break
  sleep 0.05
done
[ -n "$staged" ] || fail "kill -9: no frames appeared beside the earlier capture"
kill -9 "$pid"
wait "$pid" 2>/dev/null
(cd "$work/full" && md5sum --quiet -c "$work/full.md5") || fail "kill -9 during --overwrite changed the earlier capture"

# A video container we do not write is a usage error, and nothing is made.
"$build/yurn" --capture "$work/show.avi" 2>"$work/stderr-avi"
code=$?
[ "$code" -eq 2 ] || fail "show.avi: exit code $code, expected 2"
grep -q "\.mp4, \.mkv o \.webm" "$work/stderr-avi" || { fail "show.avi: no list of known formats"; cat "$work/stderr-avi"; }
[ ! -e "$work/show.avi" ] || fail "show.avi was made"

[ "$status" -eq 0 ] && echo "ok: interrupted captures finish their files, non-empty folders and unknown videos refused"
exit "$status"
