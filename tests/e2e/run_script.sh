#!/usr/bin/env bash
# scripts/run.sh beside the test build: it builds in a folder of its own and
# keeps its archive there, so the test build still has its tests and the
# source folder gets no Yurn.pak; and it packs the archive again when a
# photograph is newer than it.  Usage: run_script.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
cd "$source"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

pak_before=$(stat -c %Y Yurn.pak 2>/dev/null || echo none)
tests_before=$(ctest --test-dir "$build" -N 2>/dev/null | sed -n 's/^Total Tests: //p')

scripts/run.sh --headless --fps 2 --verbose >"$work/out" 2>"$work/err"
code=$?
[ "$code" -eq 19 ] || { fail "run.sh: exit code $code, expected 19"; cat "$work/err"; }
grep -q "primero del archivo $source/build-run/Yurn.pak" "$work/err" || { fail "run.sh did not use its own archive"; cat "$work/err"; }
[ "$(stat -c %Y Yurn.pak 2>/dev/null || echo none)" = "$pak_before" ] || fail "run.sh wrote Yurn.pak in the source folder"

# The test build is as it was: tests on, the same tests found.
grep -qx "YURN_TESTS:BOOL=ON" "$build/CMakeCache.txt" || fail "the test build lost YURN_TESTS=ON"
tests_after=$(ctest --test-dir "$build" -N 2>/dev/null | sed -n 's/^Total Tests: //p')
[ -n "$tests_after" ] && [ "$tests_after" -gt 0 ] && [ "$tests_after" = "$tests_before" ] ||
  fail "the test build lists ${tests_after:-no} tests after run.sh (${tests_before:-none} before)"

# An archive older than the photographs is packed again.
touch -d @1000000000 build-run/Yurn.pak
scripts/run.sh --headless --fps 2 >/dev/null 2>"$work/err"
code=$?
[ "$code" -eq 19 ] || { fail "second run.sh: exit code $code"; cat "$work/err"; }
[ "$(stat -c %Y build-run/Yurn.pak)" -gt 1000000000 ] || fail "an archive older than the photographs was not packed again"
# Nothing changed: the second run printed no build lines.
grep -q "^build:" "$work/err" && { fail "run.sh printed build lines with nothing to rebuild"; cat "$work/err"; }

# Run from another folder, a relative path given to yurn is taken there.
(cd "$work" && "$source/scripts/run.sh" --capture here --fps 1 >/dev/null 2>"$work/err")
code=$?
[ "$code" -eq 19 ] || { fail "run.sh from elsewhere: exit code $code"; cat "$work/err"; }
[ -f "$work/here/frames.tsv" ] || fail "run.sh --capture here did not capture in the caller's folder"
[ -e "$source/here" ] && { fail "run.sh --capture here captured in the source folder"; rm -rf "${source:?}/here"; }

[ "$status" -eq 0 ] && echo "ok: run.sh keeps to build-run/, repacks a stale archive and leaves the test build alone"
exit "$status"
