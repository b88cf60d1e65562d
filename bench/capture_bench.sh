#!/usr/bin/env bash
# Video capture against the encoder alone, measured in the same run (the
# machine is shared; only the ratio means anything).  Usage:
#   bench/capture_bench.sh [BUILD_DIR] [FPS]     ROUNDS=N (default 3)
# The encoder alone: ffmpeg encoding the show's frames (320x240 RGB, read from
# one raw file on disk) and its sound.wav with the settings the capture gives
# it (src/capture/video.cpp: 3x nearest neighbour, x264 ultrafast CRF 18, AAC
# 160k, +faststart).  The capture: yurn --capture show.mp4 at the same rate,
# rendering, converting and piping the same frames.  Each round times one of
# each, one after the other; the line printed is the median of the rounds'
# ratios:  ratio capture_mp4 N.NNx encoder alone
# followed by the same for CPU time (user + system of every process, which a
# loaded machine inflates less than wall time).  YURN_BEFORE=path/to/yurn
# adds an earlier build's capture to each round, for comparison.  The
# video's frames are also checked: they decode to the same pixels as the
# encoder alone's (ffmpeg's framemd5).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
fps=${2:-60}
rounds=${ROUNDS:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
command -v ffmpeg >/dev/null || { echo "needs ffmpeg"; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The show's frames and sound, as the capture produces them (not timed).
"$build/yurn" --data "$root" --capture "$work/frames" --format ppm --fps "$fps" 2>/dev/null || [ $? -eq 19 ]
frames=$(ls "$work/frames" | grep -c '^frame-.*\.ppm$')
ffmpeg -loglevel error -nostdin -framerate "$fps" -i "$work/frames/frame-%06d.ppm" \
    -f rawvideo -pix_fmt rgb24 "$work/frames.rgb"
cp "$work/frames/sound.wav" "$work/sound.wav"
rm -rf "$work/frames"

encoder_alone() {
    ffmpeg -hide_banner -loglevel error -nostdin -y \
        -f rawvideo -pix_fmt rgb24 -video_size 320x240 -framerate "$fps" -i "$work/frames.rgb" \
        -i "$work/sound.wav" -map 0:v -map 1:a \
        -vf "format=yuv444p,scale=iw*3:ih*3:flags=neighbor,format=yuv420p" \
        -c:v libx264 -preset ultrafast -crf 18 -pix_fmt yuv420p -c:a aac -b:a 160k -movflags +faststart \
        -shortest -map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact "$work/alone.mp4"
}
capture() {
    rm -f "$work/capture.mp4"
    "$1" --data "$root" --capture "$work/capture.mp4" --fps "$fps" 2>/dev/null
}
export -f encoder_alone capture
export work fps root
# "wall cpu" seconds of one of the functions above and the processes it ran.
seconds() {
    /usr/bin/time -f "%e %U %S" -o "$work/time" bash -c '"$@"' bash "$@" >/dev/null 2>&1 || true
    python3 -c "import sys; e, u, s = map(float, open(sys.argv[1]).read().split()[-3:]); print(e, u + s)" "$work/time"
}

rows=()
for round in $(seq 1 "$rounds"); do
    alone=$(seconds encoder_alone)
    captured=$(seconds capture "$build/yurn")
    before="- -"
    [ -n "${YURN_BEFORE:-}" ] && before=$(seconds capture "$YURN_BEFORE")
    rows+=("$alone $captured $before")
    python3 -c "import sys
a, ac, c, cc = map(float, sys.argv[1:5]); b = sys.argv[5:7]
line = f'round {sys.argv[7]}: encoder alone {a:.2f} s ({ac:.2f} s CPU), capture {c:.2f} s ({cc:.2f} s CPU): {c / a:.3f}x'
if b[0] != '-':
    line += f'; earlier build {float(b[0]):.2f} s ({float(b[1]):.2f} s CPU): {float(b[0]) / a:.3f}x'
print(line)" $alone $captured $before "$round"
done
ffmpeg -loglevel error -nostdin -i "$work/capture.mp4" -map 0:v -f framemd5 - | grep -v '^#' >"$work/capture.md5"
ffmpeg -loglevel error -nostdin -i "$work/alone.mp4" -map 0:v -f framemd5 - | grep -v '^#' >"$work/alone.md5"
if cmp -s "$work/capture.md5" "$work/alone.md5"; then
    echo "frames: the capture's $(wc -l <"$work/capture.md5") decode to the same pixels as the encoder alone's"
else
    echo "frames: the capture's frames DIFFER from the encoder alone's"
fi
python3 -c "import sys, statistics
rows = [r.split() for r in sys.argv[1:]]
med = lambda i, j: statistics.median(float(r[i]) / float(r[j]) for r in rows)
print(f'ratio capture_mp4 {med(2, 0):.2f}x encoder alone')
print(f'ratio capture_mp4_cpu {med(3, 1):.2f}x encoder alone')
if rows[0][4] != '-':
    print(f'ratio capture_mp4_earlier_build {med(4, 0):.2f}x encoder alone')" "${rows[@]}"
