#!/usr/bin/env bash
# yurn --capture to a video: H.264 + AAC in .mp4, VP9 + Opus in .webm, scaled
# 3x, as long as the show, the same bytes on every run, exit code 19; a clear
# error when ffmpeg is missing; a silent track and a warning when the sound
# track cannot be decoded; no temporary left beside the video; SIGTERM
# finishes a shorter video.  Usage: show_video.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
cd "$(dirname "$0")/../.."
if ! command -v ffmpeg >/dev/null || ! command -v ffprobe >/dev/null; then
  echo "SKIP: ffmpeg is not installed"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

probe() {  # probe FILE STREAM ENTRY
  ffprobe -v error -select_streams "$2" -show_entries "$3" -of default=nw=1:nk=1 "$1" | head -n 1
}

for run in a b; do
  timeout 300 "$build/yurn" --capture "$work/show-$run.mp4" --fps 2 2>"$work/stderr-$run"
  code=$?
  [ "$code" -eq 19 ] || { fail "mp4 run $run: exit code $code, expected 19"; cat "$work/stderr-$run"; }
done
cmp -s "$work/show-a.mp4" "$work/show-b.mp4" || fail "two captures of the show differ"
touch "$work/plain"
[ "$(stat -c %a "$work/show-a.mp4")" = "$(stat -c %a "$work/plain")" ] ||
  fail "the video's permissions are $(stat -c %a "$work/show-a.mp4"), not those of a new file"
grep -q "101 fotogramas" "$work/stderr-a" || { fail "no one-line summary with 101 frames"; cat "$work/stderr-a"; }
[ "$(probe "$work/show-a.mp4" v:0 stream=codec_name)" = h264 ] || fail "mp4 video is not H.264"
[ "$(probe "$work/show-a.mp4" v:0 stream=width)" = 960 ] || fail "mp4 is not 960 wide"
[ "$(probe "$work/show-a.mp4" v:0 stream=height)" = 720 ] || fail "mp4 is not 720 high"
[ "$(probe "$work/show-a.mp4" v:0 stream=nb_frames)" = 101 ] || fail "mp4 does not hold 101 frames"
[ "$(probe "$work/show-a.mp4" a:0 stream=codec_name)" = aac ] || fail "mp4 sound is not AAC"
duration=$(probe "$work/show-a.mp4" a:0 stream=duration)
awk -v d="$duration" 'BEGIN { exit !(d > 49.5 && d < 50.6) }' || fail "mp4 sound lasts $duration s, not the show's 50 s"

timeout 300 "$build/yurn" --capture "$work/show.webm" --fps 1 2>"$work/stderr-webm"
code=$?
[ "$code" -eq 19 ] || { fail "webm: exit code $code"; cat "$work/stderr-webm"; }
[ "$(probe "$work/show.webm" v:0 stream=codec_name)" = vp9 ] || fail "webm video is not VP9"
[ "$(probe "$work/show.webm" a:0 stream=codec_name)" = opus ] || fail "webm sound is not Opus"

ls -A "$work" | grep -q '\.tmp-' && fail "a temporary was left beside the videos"

# A sound track ffmpeg cannot decode: the whole video, a silent track, a warning.
mkdir -p "$work/bad/datos"
for f in datos/*.pcx; do ln -s "$PWD/$f" "$work/bad/$f"; done
head -c 5000 /dev/urandom >"$work/bad/datos/cancion.mp3"
(cd "$work/bad" && timeout 300 "$build/yurn" --capture "$work/bad.mp4" --fps 2 2>"$work/stderr-bad")
code=$?
[ "$code" -eq 19 ] || { fail "undecodable track: exit code $code, expected 19"; cat "$work/stderr-bad"; }
grep -q "aviso" "$work/stderr-bad" || { fail "undecodable track: no warning"; cat "$work/stderr-bad"; }
[ "$(probe "$work/bad.mp4" v:0 stream=nb_frames)" = 101 ] || fail "undecodable track: not 101 frames"
[ "$(probe "$work/bad.mp4" a:0 stream=codec_name)" = aac ] || fail "undecodable track: no silent AAC track"
volume=$(ffmpeg -nostdin -i "$work/bad.mp4" -map 0:a -af volumedetect -f null - 2>&1 | grep -o 'max_volume: [-0-9.a-z]*')
[ "$volume" = "max_volume: -91.0" ] || fail "undecodable track: the sound is not silent ($volume)"

# SIGTERM part-way: ffmpeg finishes the frames it has, the video replaces the
# target, and the exit code says the capture was cut short.
timeout 300 "$build/yurn" --capture "$work/cut.mkv" --fps 600 2>"$work/stderr-cut" &
pid=$!
for _ in $(seq 1 1200); do
  ls -A "$work" | grep -q '^\.cut\.mkv\.tmp-' && [ -s "$work/$(ls -A "$work" | grep '^\.cut\.mkv\.tmp-' | head -n 1)" ] && break
  sleep 0.05
done
kill -TERM "$pid"
wait "$pid"
code=$?
[ "$code" -eq 143 ] || { fail "SIGTERM: exit code $code, expected 143"; cat "$work/stderr-cut"; }
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$work/cut.mkv")
[ -n "$frames" ] && [ "$frames" -gt 0 ] && [ "$frames" -lt 30001 ] || fail "SIGTERM: the video holds '$frames' frames"
ls -A "$work" | grep -q '\.tmp-' && fail "SIGTERM: a temporary was left beside the video"

# Without ffmpeg on the PATH: exit 1 and a message that says so.
env PATH=/nonexistent "$build/yurn" --capture "$work/none.mp4" --fps 5 2>"$work/stderr-none"
code=$?
[ "$code" -eq 1 ] || fail "without ffmpeg: exit code $code, expected 1"
grep -q "No encuentro ffmpeg" "$work/stderr-none" || { fail "without ffmpeg: no clear message"; cat "$work/stderr-none"; }

# --format is for folders only.
"$build/yurn" --capture "$work/x.mkv" --format png 2>/dev/null
[ $? -eq 2 ] || fail "--format with a video target was accepted"

[ "$status" -eq 0 ] && echo "ok: mp4 and webm captures, identical runs, clear error without ffmpeg, silent track, SIGTERM"
exit "$status"
