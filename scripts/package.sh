#!/usr/bin/env bash
# Builds the Debian package of yurn in build-deb/ (a Release build installed
# under /usr into a staging root, then dpkg-deb) and checks it with lintian:
#   package.sh [--no-lintian]
# Prints the package's path on standard output.  The programs' library
# dependencies come from dpkg-shlibdeps; the manual pages and the changelog
# are compressed, the programs stripped, every file owned by root.
set -euo pipefail
cd "$(dirname "$0")/.."
check=1
case ${1:-} in
  --no-lintian) check=0 ;;
  "") ;;
  *) echo "uso: scripts/package.sh [--no-lintian]" >&2; exit 2 ;;
esac
[ -n "${YURN_SKIP_SETUP:-}" ] || scripts/setup.sh test >&2

dir=build-deb
scripts/build.sh "$dir" -DYURN_TESTS=OFF -DYURN_BENCH=OFF -DYURN_FUZZ=OFF -DYURN_SANITIZE= \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >&2
root=$dir/root
rm -rf "$root"
DESTDIR=$PWD/$root cmake --install "$dir" --strip >"$dir/install.log"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
arch=$(dpkg --print-architecture)
doc=$root/usr/share/doc/yurn
# Debian's places: compressed pages and changelog, the copyright file; the
# licence and credits stay beside it as the install put them.
find "$root/usr/share/man" -type f -exec gzip -9n {} +
sed "s/@VERSION@/$version/" dist/debian/changelog | gzip -9n >"$doc/changelog.gz"
cp dist/debian/copyright "$doc/copyright"
chmod -R u=rwX,go=rX "$root"

# The libraries the programs load, as package dependencies (dpkg-shlibdeps
# wants a debian/control to read, so it runs in a scratch folder).
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/debian"
printf 'Source: yurn\n\nPackage: yurn\nArchitecture: any\n' >"$scratch/debian/control"
programs=()
for f in "$root"/usr/bin/*; do programs+=("$(realpath "$f")"); done
depends=$(cd "$scratch" && dpkg-shlibdeps -O "${programs[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

mkdir -p "$root/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  dist/debian/control.in >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

deb=$dir/yurn_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
if ((check)); then
  # Errors fail the package; warnings are shown.
  if ! lintian --fail-on error --tag-display-limit 0 "$deb" >"$dir/lintian.log" 2>&1; then
    cat "$dir/lintian.log" >&2
    echo "package.sh: lintian found errors in $deb" >&2
    exit 1
  fi
  [ -s "$dir/lintian.log" ] && cat "$dir/lintian.log" >&2
fi
echo "$PWD/$deb"
