#!/usr/bin/env bash
# yurn-mesh render: a small mesh drawn to PNG with the default camera and
# light and with every option; mistakes end with exit code 1 and a message.
set -euo pipefail
bin=$1/yurn-mesh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tetrahedron in the text format (Z up), texture coordinates included.
cat > "$work/tetra.txt" <<'MESH'
4
4
0 0 0
40 0 0
20 35 0
20 12 33
0 1 2
0 1 3
1 2 3
2 0 3
0 0 1 0 0 1
0 0 1 0 0 1
0 0 1 0 0 1
0 0 1 0 0 1
MESH
convert -size 16x16 pattern:checkerboard -type truecolor "$work/check.png"

"$bin" render "$work/tetra.txt" -o "$work/plain.png" --two-sided
[ "$(identify -format '%wx%h' "$work/plain.png")" = 320x240 ]
colours=$(convert "$work/plain.png" -format '%k' info:)
[ "$colours" -gt 2 ] || { echo "plain render shows $colours colours"; exit 1; }

"$bin" render "$work/tetra.txt" -o "$work/all.png" --mode 06 --texture "$work/check.png" \
    --angles 0.3,0.5,0 --camera 20,10,-150 --fov 70 --light 0,100,-100,FF8040 --light 50,0,-80 \
    --ambient 303030 --background 102040 --two-sided
corner=$(convert "$work/all.png" -format '%[hex:u.p{0,0}]' info:)
[ "$corner" = 102040 ] || { echo "background is $corner"; exit 1; }

# Mistakes: exit code 1, a message on standard error.
for args in "$work/missing.txt -o $work/x.png" "$work/tetra.txt" "$work/tetra.txt -o $work/x.png --light 1,2" \
            "$work/tetra.txt -o $work/x.png --mode 1FF" "$work/tetra.txt -o $work/x.png --texture $work/plain.png" \
            "$work/tetra.txt -o $work/x.png --bogus"; do
    set +e
    "$bin" render $args 2> "$work/err"
    status=$?
    set -e
    [ "$status" = 1 ] || { echo "render $args exited $status"; exit 1; }
    [ -s "$work/err" ] || { echo "render $args said nothing"; exit 1; }
done
"$bin" render --help | grep -q -- --texture
"$bin" view --help | grep -q -- Espacio
echo ok
