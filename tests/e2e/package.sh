#!/usr/bin/env bash
# The Debian package: scripts/package.sh builds it (lintian passing without
# errors), or YURN_DEB names one already built; unpacked into a scratch root,
# its yurn plays both shows headless from a folder without datos/ (exit codes
# 19 and 7) on the data it carries, its tools run, its manual pages open
# with man -l, and it holds what an installation should.  Usage: package.sh BUILD_DIR
set -u
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

deb=${YURN_DEB:-}
if [ -z "$deb" ]; then
  deb=$(YURN_SKIP_SETUP=1 "$source/scripts/package.sh" 2>"$work/package.err") ||
    { cat "$work/package.err"; echo "FAIL: scripts/package.sh failed"; exit 1; }
fi
[ -f "$deb" ] || { echo "FAIL: no package at $deb"; exit 1; }

root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x $deb"; exit 1; }
dpkg-deb -f "$deb" Package Version Architecture Depends >"$work/fields" || fail "dpkg-deb -f failed"
grep -q '^Depends:.*libsdl2' "$work/fields" || fail "the package does not depend on SDL2: $(cat "$work/fields")"

# What an installation holds, in the standard places.
for f in usr/bin/yurn usr/bin/yurn-pak usr/bin/yurn-pcx usr/bin/yurn-mesh usr/bin/yurn-meshgen \
         usr/share/yurn/Yurn.pak usr/share/yurn/datos/cancion.mp3 usr/share/yurn/datos/nudo.3ds \
         usr/share/man/man6/yurn.6.gz usr/share/man/man1/yurn-pak.1.gz \
         usr/share/bash-completion/completions/yurn usr/share/applications/yurn.desktop \
         usr/share/icons/hicolor/128x128/apps/yurn.png \
         usr/share/doc/yurn/copyright usr/share/doc/yurn/changelog.gz usr/share/doc/yurn/LICENSE \
         usr/share/doc/yurn/CREDITS usr/include/yurn/engine/engine.h usr/include/yurn/display/error.h \
         usr/lib/*/pkgconfig/yurn.pc usr/lib/*/cmake/yurn/yurnConfig.cmake usr/lib/*/libyurn_core.a; do
  compgen -G "$root/$f" >/dev/null || fail "the package has no $f"
done
for program in "$root"/usr/bin/*; do
  page=$(ls "$root"/usr/share/man/man[16]/"$(basename "$program")".[16].gz 2>/dev/null | head -n 1)
  if [ -z "$page" ]; then
    fail "$(basename "$program") has no manual page in the package"
  elif ! MANWIDTH=80 man -l "$page" 2>"$work/man.err" | grep -q "^NAME"; then
    fail "man -l $page does not open"; cat "$work/man.err"
  fi
done
grep -q '^Exec=yurn$' "$root/usr/share/applications/yurn.desktop" || fail "the desktop entry does not start yurn"
[ "$(python3 "$source/tests/e2e/png_pixels.py" size "$root/usr/share/icons/hicolor/128x128/apps/yurn.png")" = "128 128" ] ||
  fail "the icon is not a 128x128 PNG"

# Played from elsewhere, on the package's own data (found beside its bin/).
mkdir "$work/elsewhere"
cd "$work/elsewhere"
"$root/usr/bin/yurn" --headless --fps 2 --verbose 2>"$work/err"
code=$?
[ "$code" -eq 19 ] || { fail "the packaged yurn: exit code $code, expected 19"; cat "$work/err"; }
grep -q "primero del archivo $root/usr/share/yurn/Yurn.pak" "$work/err" ||
  { fail "the packaged yurn did not read its own Yurn.pak"; cat "$work/err"; }
"$root/usr/bin/yurn" --headless --fps 2 --script engine 2>"$work/err"
code=$?
[ "$code" -eq 7 ] || { fail "the packaged yurn, engine show: exit code $code, expected 7"; cat "$work/err"; }
"$root/usr/bin/yurn-pak" list "$root/usr/share/yurn/Yurn.pak" >"$work/list" || fail "the packaged yurn-pak cannot list its archive"
grep -q 'datos/Foto10.pcx' "$work/list" || fail "the packaged Yurn.pak lacks datos/Foto10.pcx"
# The library as packaged: yurn.pc under /usr/lib/<triplet> finds the
# headers and libraries where the package put them, and a program built on
# it cross-fades two photographs taken out of the packaged archive.
"$root/usr/bin/yurn-pak" extract "$root/usr/share/yurn/Yurn.pak" datos/Foto1.pcx datos/Foto2.pcx -C "$work/photos" ||
  fail "the packaged yurn-pak cannot extract from its archive"
export PKG_CONFIG_PATH=$(dirname "$(ls "$root"/usr/lib/*/pkgconfig/yurn.pc | head -n 1)")
include=$(pkg-config --cflags-only-I yurn | tr ' ' '\n' | sed -n 's/^-I//p' | head -n 1)
[ "$(realpath -m "$include")" = "$(realpath "$root/usr/include/yurn")" ] ||
  fail "the packaged yurn.pc points to $include, not into the package"
if c++ -std=c++20 -o "$work/crossfade" "$source/examples/crossfade.cpp" $(pkg-config --cflags --libs yurn); then
  mkdir "$work/fade"
  "$work/crossfade" "$work/photos/datos/Foto1.pcx" "$work/photos/datos/Foto2.pcx" "$work/fade" 3 ||
    fail "crossfade built on the package failed"
  [ "$(ls "$work/fade" | wc -l)" -eq 3 ] || fail "crossfade built on the package wrote $(ls "$work/fade" | wc -l) frames, expected 3"
else
  fail "examples/crossfade.cpp does not build on the packaged yurn.pc"
fi

# --data still wins over the installed data.
"$root/usr/bin/yurn" --headless --data "$work/elsewhere" 2>"$work/err"
code=$?
[ "$code" -eq 1 ] || fail "--data with an empty folder: exit code $code, expected 1"

[ "$status" -eq 0 ] && echo "ok: $(basename "$deb") unpacks, plays from elsewhere and opens its manual pages"
exit "$status"
