#!/usr/bin/env bash
# Where the show reads its data: run from a folder without datos/ it says
# which file is missing, where it looked and how to point elsewhere (--data);
# --data DIR reads DIR/datos/ and DIR/Yurn.pak; --verbose says whether an
# archive was used.  Also the command line's usage errors (exit 2) and the
# real time that --stats adds on the virtual clock.  Usage: data_folder.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
yurn=$build/yurn

# No datos/ here: the first file's message, then where and how.  (Unless
# the show is installed under the configured prefix, which yurn then plays.)
mkdir "$work/empty"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ -d "$prefix/share/yurn/datos" ]; then
  echo "note: $prefix/share/yurn holds an installed show; the run without datos/ is not checked"
else
  (cd "$work/empty" && "$yurn" --headless) 2>"$work/err"
  code=$?
  [ "$code" -eq 1 ] || fail "without datos/: exit code $code, expected 1"
  grep -q '^No encuentro el fichero "datos/Foto1.pcx"$' "$work/err" || fail "without datos/: no message naming datos/Foto1.pcx"
  tail -n 1 "$work/err" | grep -q "$work/empty.*--data" || fail "without datos/: the last line does not say where it looked and --data"
  [ "$status" -ne 0 ] && cat "$work/err"
fi

# --data: the whole show from elsewhere, without an archive.
(cd "$work/empty" && "$yurn" --headless --fps 2 --data "$source" --verbose) 2>"$work/err"
code=$?
[ "$code" -eq 19 ] || { fail "--data SOURCE: exit code $code, expected 19"; cat "$work/err"; }
grep -q "sin archivo" "$work/err" || { fail "--verbose does not say that no archive was used"; cat "$work/err"; }

# An archive in the data folder is read first, and --verbose says so.
mkdir "$work/packed"
ln -s "$source/datos" "$work/packed/datos"
(cd "$source" && "$build/yurn-pak" create "$work/packed/Yurn.pak" datos/Foto*.pcx >/dev/null) ||
  fail "yurn-pak create failed"
"$yurn" --headless --fps 2 --data="$work/packed" --verbose --stats 2>"$work/err"
code=$?
[ "$code" -eq 19 ] || { fail "--data=PACKED: exit code $code, expected 19"; cat "$work/err"; }
grep -q "primero del archivo $work/packed/Yurn.pak" "$work/err" || { fail "--verbose does not name the archive"; cat "$work/err"; }
grep -q "^Tiempo real de la ejecución: [0-9.]* segundos$" "$work/err" || { fail "--stats gives no real time"; cat "$work/err"; }

# A folder that does not exist is a failure (1), a bad command line a usage error (2).
"$yurn" --headless --data "$work/nowhere" 2>"$work/err"
code=$?
[ "$code" -eq 1 ] || fail "--data NOWHERE: exit code $code, expected 1"
grep -q -- "--data" "$work/err" || { fail "--data NOWHERE: no hint"; cat "$work/err"; }
for args in "--bogus" "--fps=1/100000000" "--headless=1" "--data" "--fps"; do
  "$yurn" $args >/dev/null 2>"$work/err"
  code=$?
  [ "$code" -eq 2 ] || fail "yurn $args: exit code $code, expected 2"
  [ -s "$work/err" ] || fail "yurn $args: no message"
done
for args in "--help" "-h" "--version"; do
  "$yurn" $args >"$work/out" 2>&1
  code=$?
  [ "$code" -eq 0 ] || fail "yurn $args: exit code $code, expected 0"
  [ -s "$work/out" ] || fail "yurn $args: printed nothing"
done
if [ -w /dev/full ]; then
  for args in "--help" "--version"; do
    "$yurn" $args >/dev/full 2>"$work/err"
    code=$?
    [ "$code" -eq 1 ] || fail "yurn $args >/dev/full: exit code $code, expected 1"
    grep -q "salida estándar" "$work/err" || fail "yurn $args >/dev/full: no message"
  done
fi
for code in 19 7 0 1 2 130; do
  "$yurn" --help | grep -qE "^ +$code  " || fail "--help does not explain exit code $code"
done

[ "$status" -eq 0 ] && echo "ok: data folder, archive report, usage errors and exit codes"
exit "$status"
