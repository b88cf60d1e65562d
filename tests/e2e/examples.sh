#!/usr/bin/env bash
# The library as another program uses it: the build installed into a scratch
# prefix, examples/ configured against it with find_package(yurn) and built,
# one example built again from yurn.pc alone, every installed header compiled,
# and each example run with its pictures checked against an independent
# computation (tests/e2e/png_pixels.py).  Usage: examples.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
pixels() { python3 "$source/tests/e2e/png_pixels.py" "$@"; }
prefix=$work/prefix
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install $build (is everything built?)"; exit 1; }
if ! { cmake -S "$source/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" &&
       cmake --build "$work/examples" -j"$(nproc)"; } >"$work/examples.log" 2>&1; then
  cat "$work/examples.log"
  echo "FAIL: the examples do not build against the installed package"
  exit 1
fi
grep -q 'warning:' "$work/examples.log" && { fail "the examples build with warnings"; grep -A3 'warning:' "$work/examples.log"; }

# yurn.pc alone is enough to build one, and every installed header compiles.
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name yurn.pc | head -n 1)")
flags=$(pkg-config --cflags --libs yurn) || fail "pkg-config does not know yurn"
c++ -std=c++20 -o "$work/crossfade-pc" "$source/examples/crossfade.cpp" $flags || fail "crossfade does not build from yurn.pc"
(cd "$prefix/include" && find yurn -name '*.h' | sort | sed 's/.*/#include <&>/') >"$work/all.cpp"
[ "$(wc -l <"$work/all.cpp")" -ge 10 ] || fail "only $(wc -l <"$work/all.cpp") headers installed"
grep -q '_local\.h' "$work/all.cpp" && fail "a module's private header was installed"
c++ -std=c++20 -fsyntax-only -Wall -Wextra $(pkg-config --cflags yurn) "$work/all.cpp" || fail "the installed headers do not compile together"

data=$prefix/share/yurn
run=$work/run
mkdir -p "$run/mesh" "$run/fade"
cd "$run"

# A turning mesh: eight 320x240 frames, the mesh on a plain ground, turning.
"$work/examples/turning_mesh" "$data/datos/toro.txt" mesh 8 || fail "turning_mesh failed"
frames=$(ls mesh/turn-*.png 2>/dev/null | wc -l)
[ "$frames" -eq 8 ] || fail "turning_mesh wrote $frames frames, expected 8"
if [ "$frames" -eq 8 ]; then
  [ "$(pixels size mesh/turn-00.png)" = "320 240" ] || fail "turning_mesh: frame size $(pixels size mesh/turn-00.png)"
  [ "$(pixels pixel mesh/turn-00.png 0 0)" = "0 0 24" ] || fail "turning_mesh: the ground is not 000018"
  share=$(pixels drawn mesh/turn-00.png)
  awk -v s="$share" 'BEGIN { exit !(s > 0.1 && s < 0.9) }' || fail "turning_mesh: the mesh covers $share of the frame"
  pixels same mesh/turn-00.png mesh/turn-01.png && fail "turning_mesh: the mesh does not turn"
fi

# The cross-fade: its middle frame (c = 127 of 0..254 over 9) is the blend
# computed here, byte by byte, from the photographs as yurn-pcx decodes them.
"$prefix/bin/yurn-pcx" decode "$source/datos/Foto1.pcx" a.ppm && "$prefix/bin/yurn-pcx" decode "$source/datos/Foto2.pcx" b.ppm ||
  fail "yurn-pcx decode failed"
"$work/examples/crossfade" "$source/datos/Foto1.pcx" "$source/datos/Foto2.pcx" fade 9 || fail "crossfade failed"
pixels blend a.ppm b.ppm fade/fade-04.png 127 || fail "crossfade: the middle frame is not blend(A, B, 127)"
pixels blend a.ppm b.ppm fade/fade-08.png 254 || fail "crossfade: the last frame is not blend(A, B, 254)"
"$work/crossfade-pc" "$source/datos/Foto1.pcx" "$source/datos/Foto2.pcx" fade 9 && pixels blend a.ppm b.ppm fade/fade-04.png 127 ||
  fail "crossfade built from yurn.pc gives another middle frame"

# A stage of one's own: the wash first (green = row, blue = 40, red sliding),
# the three records in turn, the photograph at the end; exit code 3.
"$work/examples/own_stage" "$data" own >/dev/null 2>"$work/own.err"
code=$?
[ "$code" -eq 3 ] || { fail "own_stage: exit code $code, expected 3"; cat "$work/own.err"; }
[ "$(cut -f3 own/frames.tsv 2>/dev/null | tail -n +2 | uniq | tr '\n' ' ')" = "0 1 2 " ] ||
  fail "own_stage: the stages shown are not 0, 1, 2 in turn"
pixels wash own/frame-000000.png || fail "own_stage: the first frame is not the wash"
last=$(ls own/frame-*.png 2>/dev/null | tail -n 1)
[ -n "$last" ] && pixels same "$last" a.ppm || fail "own_stage: the last frame is not the first photograph"

# A headless capture from the library gives yurn --capture's frames, byte for
# byte (the installed yurn, run with no --data from a folder without datos/).
"$work/examples/capture" "$data" lib engine 2 >/dev/null 2>"$work/capture.err"
code=$?
[ "$code" -eq 7 ] || { fail "capture: exit code $code, expected 7"; cat "$work/capture.err"; }
"$prefix/bin/yurn" --capture cli --script engine --fps 2 >/dev/null 2>"$work/yurn.err"
code=$?
[ "$code" -eq 7 ] || { fail "installed yurn --capture: exit code $code, expected 7"; cat "$work/yurn.err"; }
frames=$(ls lib/frame-*.png 2>/dev/null | wc -l)
[ "$frames" -eq 56 ] || fail "capture wrote $frames frames, expected 56 (27.5 s at 2 per second)"
for f in cli/frame-*.png cli/frames.tsv cli/sound.wav; do
  cmp -s "$f" "lib/${f#cli/}" || { fail "capture: lib/${f#cli/} differs from yurn --capture's"; break; }
done

[ "$status" -eq 0 ] && echo "ok: the examples build against the installed package and draw what they should"
exit "$status"
