#!/usr/bin/env bash
# What the tools cost on the small files that announce the most work for
# their size (written by yurn-large-inputs, the generator the memory tests
# use), as ratios against references measured in the same run on the same
# disk (the machine is shared; absolute times are not comparable between runs):
#   decode   yurn-pcx decode of rle1.pcx (one plane, 16000 x 8257) and
#            rle3.pcx (three planes, 2048 x 21502) to PPM and PNG, against
#            cat writing the decoded picture's bytes (the PPM) to the same
#            disk; goal: at most 3.
#   encode   yurn-pcx encode of huge.png (11585 x 11585) against the decode
#            of the same number of pixels with cat, as above.
#   extract  yurn-pak extract of many.pak (170,000 one-byte members): seconds
#            (goal: under 10), and against a loop that makes and renames as
#            many files as plainly as the system allows (the floor).
# Peak memory (maximum resident set, /usr/bin/time -v) beside each; goal:
# under 200 MB.  Usage: bench/large_inputs.sh [BUILD_DIR] [SCRATCH_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
scratch=${2:-$build}
[ -x "$build/yurn-large-inputs" ] || { echo "needs $build/yurn-large-inputs (a build with YURN_TESTS=ON)"; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)"; exit 1; }
work=$(mktemp -d "$scratch/large-inputs.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/yurn-large-inputs" "$work"
cd "$work"

# Wall seconds and peak resident kilobytes of a command, its output dropped.
run() {
    /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null
    cat time.txt
}
# Seconds cat takes to write a file's bytes to a new file on this disk,
# flushed like the tools' own outputs are.
cat_time() {
    /usr/bin/time -f "%e" -o time.txt sh -c "cat '$1' >copy.bin && sync copy.bin"
    rm -f copy.bin
    cat time.txt
}
ratio() { python3 -c 'import sys; a, b = map(float, sys.argv[1:3]); print("%.2f" % (a / max(b, 0.01)))' "$1" "$2"; }

printf '%-34s %8s %10s %8s\n' "" "seconds" "peak MB" "ratio"
for input in rle1 rle3; do
    read -r t m < <(run "$build/yurn-pcx" decode $input.pcx $input.ppm)
    reference=$(cat_time $input.ppm)
    printf '%-34s %8s %10s %8s\n' "cat of the picture ($input)" "$reference" "" "1.00"
    printf '%-34s %8s %10s %8s\n' "decode $input.pcx -> PPM" "$t" "$((m / 1024))" "$(ratio "$t" "$reference")"
    read -r t m < <(run "$build/yurn-pcx" decode $input.pcx $input.png)
    printf '%-34s %8s %10s %8s\n' "decode $input.pcx -> PNG" "$t" "$((m / 1024))" "$(ratio "$t" "$reference")"
    rm -f $input.ppm $input.png
done
# The same number of pixels as huge.png, as a PPM, for the reference.
head -c $((11585 * 11585 * 3)) /dev/zero >pixels.bin
reference=$(cat_time pixels.bin)
rm -f pixels.bin
read -r t m < <(run "$build/yurn-pcx" encode huge.png huge.pcx)
printf '%-34s %8s %10s %8s\n' "encode huge.png (vs cat of pixels)" "$t" "$((m / 1024))" "$(ratio "$t" "$reference")"

mkdir x floor
read -r t m < <(run "$build/yurn-pak" extract many.pak -C x)
# The floor: as many one-byte files made under a temporary name and renamed.
floor=$( { /usr/bin/time -f "%e" python3 -c '
import os, sys
for i in range(170000):
    t = "floor/.%06d.tmp" % i
    with open(t, "wb") as f: f.write(b"a")
    os.rename(t, "floor/%06d" % i)
os.sync()' 2>&1 >/dev/null; } | tail -n 1)
printf '%-34s %8s %10s %8s\n' "plain make-and-rename loop" "$floor" "" "1.00"
printf '%-34s %8s %10s %8s\n' "extract many.pak (170,000 members)" "$t" "$((m / 1024))" "$(ratio "$t" "$floor")"
