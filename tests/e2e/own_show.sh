#!/usr/bin/env bash
# A show of one's own, as a user makes it: twelve JPEG and PNG photographs of
# mixed sizes and orientations (one turned by its EXIF tag, one partly
# transparent) and a 20-second MP3 become a show with one command; it checks,
# plays headless to its exit code, captures to PNG frames whose photograph
# frames are the decoded PCX pixel for pixel, and to a video as long as the
# show with sound; yurn-pak packs what it reads; malformed show files end
# with 2 or 1 and a message naming the line, never a crash.
# Usage: own_show.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
cd "$(dirname "$0")/../.."
source_dir=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
cd "$work"

# --- the photographs and the song -----------------------------------------
mkdir photos
sizes=(640x480 480x640 1024x300 300x1024 200x200 800x600 600x800 333x777 1280x720 720x1280 50x40 1000x1000)
for i in $(seq 0 11); do
  ext=$([ $((i % 2)) = 0 ] && echo jpg || echo png)
  convert -size "${sizes[$i]}" "gradient:rgb($((i * 20)),40,90)-rgb(250,$((200 - i * 10)),$((i * 15)))" \
    -fill white -draw "rectangle 0,0 $((i * 3 + 5)),$((i * 2 + 5))" "photos/p$(printf %02d "$i").$ext" ||
    fail "convert could not make photograph $i"
done
# Stored lying on its side, tagged (EXIF orientation 6) to be turned a
# quarter clockwise: 300x200 upright.
convert -size 200x300 gradient:red-blue side.jpg
python3 - <<'EOF'
import struct
jpeg = open('side.jpg', 'rb').read()
tiff = b'II*\x00' + struct.pack('<IH', 8, 1) + struct.pack('<HHIHH', 0x112, 3, 1, 6, 0) + struct.pack('<I', 0)
app1 = b'Exif\x00\x00' + tiff
open('photos/p12.jpg', 'wb').write(jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(app1) + 2) + app1 + jpeg[2:])
EOF
# Half transparent: laid over black, with a warning.
convert -size 320x240 gradient:none-green photos/p13.png
rm photos/p10.jpg photos/p11.png  # twelve in all
ffmpeg -loglevel error -f lavfi -i "sine=frequency=330:duration=20" -c:a libmp3lame song.mp3 ||
  fail "ffmpeg could not make the song"

# --- one command ----------------------------------------------------------
"$build/yurn-show" new mine photos/* --music song.mp3 >make.out 2>make.err
code=$?
[ "$code" -eq 0 ] || { fail "yurn-show new ended with $code"; cat make.err; }
for f in mine/show.toml mine/Yurn.pak mine/datos/cancion.mp3 mine/datos/f001.pcx mine/datos/f012.pcx; do
  [ -f "$f" ] || fail "yurn-show made no $f"
done
[ -e mine/datos/f013.pcx ] && fail "thirteen pictures from twelve photographs"
grep -q "p12.jpg (300x200)" make.out || fail "the EXIF-turned photograph was not made upright: $(grep p12 make.out)"
grep -q "p13.png.*transparentes" make.err || fail "no warning for the transparent photograph: $(cat make.err)"
grep -q "yurn --show mine/show.toml" make.out || fail "yurn-show does not say how to play the show"

"$build/yurn" --check mine/show.toml >check.out 2>check.err || fail "yurn --check refused the made show: $(cat check.err)"
[ "$(grep -c ' photo ' check.out)" -eq 12 ] || fail "the timeline does not list twelve photographs"
exit_code=$(sed -n 's/^exit_code = \([0-9]*\).*/\1/p' mine/show.toml)
[ "$exit_code" = 23 ] || fail "exit_code $exit_code in the made show, expected 23 (its terminating record)"

"$build/yurn" --show mine/show.toml --headless 2>play.err
code=$?
[ "$code" -eq 23 ] || fail "the show played headless ended with $code, not 23: $(cat play.err)"

# --- frames: every photograph as its PCX decodes --------------------------
"$build/yurn" --show mine/show.toml --capture frames --fps 10 2>capture.err
code=$?
[ "$code" -eq 23 ] || fail "the PNG capture ended with $code: $(cat capture.err)"
for k in $(seq 0 11); do
  record=$((2 * k))
  frame=$(awk -v r="$record" 'NR > 1 && $3 == r { print $1; exit }' frames/frames.tsv)
  if [ -z "$frame" ]; then
    fail "no captured frame of photograph $((k + 1))"
    continue
  fi
  pcx=mine/datos/f$(printf %03d $((k + 1))).pcx
  "$build/yurn-pcx" decode "$pcx" "decoded-$k.ppm" >/dev/null || fail "yurn-pcx could not decode $pcx"
  convert "decoded-$k.ppm" "rgb:decoded-$k.rgb"
  convert "frames/frame-$(printf %06d "$frame").png" "rgb:frame-$k.rgb"
  cmp -s "decoded-$k.rgb" "frame-$k.rgb" || fail "frame $frame is not $pcx pixel for pixel"
done

# --- a video as long as the show, with sound ------------------------------
"$build/yurn" --show mine/show.toml --capture mine.mp4 --fps 10 2>video.err
code=$?
[ "$code" -eq 23 ] || fail "the video capture ended with $code: $(cat video.err)"
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 mine.mp4 2>/dev/null)
awk -v d="${duration:-0}" 'BEGIN { exit !(d > 19.5 && d < 20.6) }' || fail "the video lasts ${duration:-nothing} s, not 20"
ffprobe -v error -select_streams a -show_entries stream=codec_type -of csv=p=0 mine.mp4 2>/dev/null | grep -q audio ||
  fail "the video has no sound"

# --- the archive: exactly what the show reads -----------------------------
"$build/yurn-pak" create --show mine/show.toml again.pak >/dev/null || fail "yurn-pak create --show failed"
listed=$("$build/yurn-pak" list again.pak | awk 'NR > 1 { print $1 }' | tr '\n' ' ')
[ "$listed" = "$(for k in $(seq 1 12); do printf 'datos/f%03d.pcx ' "$k"; done)" ] ||
  fail "yurn-pak create --show stored: $listed"

# --- malformed show files: 2 or 1, and the line ---------------------------
# Each case: name, expected exit code, line the message must name, the text.
check_bad() {
  local name=$1 expected=$2 line=$3
  printf '%s' "$4" >"mine/$name.toml"
  "$build/yurn" --show "mine/$name.toml" --headless 2>"$name.err"
  local code=$?
  [ "$code" -eq "$expected" ] || fail "$name: exit code $code, expected $expected: $(cat "$name.err")"
  grep -q "mine/$name.toml:$line:" "$name.err" || fail "$name: the message does not name line $line: $(cat "$name.err")"
}
photo='[[stage]]
type = "photo"
file = "datos/f001.pcx"
until = 5
'
head -c 200 mine/show.toml >mine/cut.toml
"$build/yurn" --show mine/cut.toml --headless 2>cut.err
code=$?
[ "$code" -eq 2 ] || fail "a cut show file ended with $code"
grep -q "mine/cut.toml:[0-9]*:" cut.err || fail "a cut show file: no line named: $(cat cut.err)"
check_bad wrong-type 2 4 "version = 1
[[stage]]
type = \"photo\"
file = 12
until = 5
"
check_bad unknown-stage 2 3 "version = 1
[[stage]]
type = \"spin\"
"
check_bad out-of-order 2 9 "version = 1
$photo[[stage]]
type = \"photo\"
file = \"datos/f002.pcx\"
until = 3
"
check_bad missing-file 1 4 "version = 1
[[stage]]
type = \"photo\"
file = \"datos/nada.pcx\"
until = 5
"
check_bad lonely-fade 2 2 "version = 1
[[stage]]
type = \"crossfade\"
$photo"
check_bad absurd 2 5 "version = 1
[[stage]]
type = \"photo\"
file = \"datos/f001.pcx\"
until = 1e300
"
check_bad not-toml 2 2 "version = 1
this is not a show
"

# --- the built-in shows print as files that check -------------------------
# Printed into a folder whose datos/ is the source tree's, as a user would.
mkdir printed
ln -s "$source_dir/datos" printed/datos
for name in show engine standin; do
  "$build/yurn" --print-show "$name" >"printed/$name.toml" || fail "--print-show $name failed"
  "$build/yurn" --check "printed/$name.toml" >/dev/null 2>"print-$name.err" ||
    fail "the printed $name show does not check: $(cat "print-$name.err")"
done

# --- a site for a folder that holds no show is a usage error, before any build
(cd "$source_dir" && YURN_SKIP_SETUP=1 scripts/web.sh --build-only --show "$work/photos") >web.out 2>web.err
code=$?
[ "$code" -eq 2 ] || fail "web.sh --show for a folder without show.toml ended with $code"
grep -q "show.toml" web.err || fail "web.sh --show does not say what is missing: $(cat web.err)"

# --- the README's example is what --print-show writes ---------------------
"$build/yurn" --print-show show >printed.toml
awk '/^The photograph show, as `yurn --print-show show` writes it:/ { found = 1; next }
     found && /^```toml/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$source_dir/README.md" >readme.toml
cmp -s printed.toml readme.toml || fail "the README's example show file is not what yurn --print-show show writes"

exit $status
