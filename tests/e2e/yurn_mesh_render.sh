#!/usr/bin/env bash
# yurn-mesh render: a small mesh drawn to PNG with the default camera and
# light and with every option; real models seen shaded and framed by default;
# failures end with exit code 1, usage errors with 2, each with a message.
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

# Failures (a missing file, a texture that is not square): exit code 1;
# usage errors: exit code 2; a message on standard error either way.
check_status() {
    local want=$1; shift
    set +e
    "$bin" render "$@" 2> "$work/err"
    local status=$?
    set -e
    [ "$status" = "$want" ] || { echo "render $* exited $status, not $want"; exit 1; }
    [ -s "$work/err" ] || { echo "render $* said nothing"; exit 1; }
}
check_status 1 "$work/missing.txt" -o "$work/x.png"
check_status 1 "$work/tetra.txt" -o "$work/x.png" --texture "$work/plain.png"
check_status 2 "$work/tetra.txt"
check_status 2 "$work/tetra.txt" -o "$work/x.png" --light 1,2
check_status 2 "$work/tetra.txt" -o "$work/x.png" --mode 1FF
check_status 2 "$work/tetra.txt" -o "$work/x.png" --bogus

# Models from elsewhere: with the default view and light every one shows
# shaded faces (many tones, not one flat colour) and fills a fair part of the frame.
models=/usr/share/assimp/models/3DS
if [ -d "$models" ]; then
    for model in test1.3ds RotatingCube.3DS cube_with_diffuse_texture.3DS CameraRollAnim.3ds; do
        "$bin" render "$models/$model" -o "$work/model.png"
        tones=$(convert "$work/model.png" -colorspace gray -format '%k' info:)
        [ "$tones" -gt 20 ] || { echo "$model shows $tones tones"; exit 1; }
        covered=$(convert "$work/model.png" -colorspace gray -threshold 1% -format '%[fx:int(mean*100)]' info:)
        [ "$covered" -ge 10 ] || { echo "$model covers $covered % of the frame"; exit 1; }
    done
fi
"$bin" render --help | grep -q -- --texture
"$bin" view --help | grep -q -- Espacio
echo ok
