#!/usr/bin/env bash
# How fast the tools start and how they scale, as ratios against programs
# measured in the same run (the machine is shared; absolute times are not
# comparable between runs).  Usage: bench/tools_start.sh [BUILD_DIR]
#   start-up:  yurn-pcx info, yurn-pak list, yurn-meshgen --version and
#              yurn-mesh --version against /bin/true and netpbm's pcxtoppm
#              on the same picture; with the shared libraries each loads.
#   directory: yurn-pak list of a 4 MB archive (about 170,000 members)
#              against cksum reading the same file.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
command -v hyperfine >/dev/null || { echo "needs hyperfine"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

picture=$root/datos/Foto1.pcx
[ -f "$picture" ] || { "$build/yurn-meshgen" --version >/dev/null; echo "needs $picture"; exit 1; }

# Mean wall and CPU (user + system) seconds of each command, from hyperfine's JSON.
measure() {
    hyperfine -N --warmup 20 --min-runs 300 --export-json "$work/t.json" "$@" >/dev/null 2>&1
    python3 -c '
import json, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print(r["mean"], r["user"] + r["system"])' "$work/t.json"
}

echo "start-up (means of >= 300 runs each; wall time, and CPU time, which a loaded machine inflates less)"
mapfile -t t < <(measure "/bin/true" "pcxtoppm $picture" \
    "$build/yurn-pcx info $picture" "$build/yurn-pcx --version" "$build/yurn-pak --version" \
    "$build/yurn-meshgen --version" "$build/yurn-mesh --version")
names=("/bin/true" "pcxtoppm" "yurn-pcx info" "yurn-pcx --version" "yurn-pak --version" "yurn-meshgen --version"
       "yurn-mesh --version")
libs=("" "" "$(ldd "$build/yurn-pcx" | wc -l)" "" "$(ldd "$build/yurn-pak" | wc -l)" \
      "$(ldd "$build/yurn-meshgen" | wc -l)" "$(ldd "$build/yurn-mesh" | wc -l)")
for i in "${!names[@]}"; do
    python3 -c 'import sys
(t, c), (true, ctrue), (ref, cref) = [tuple(map(float, a.split())) for a in sys.argv[1:4]]
n, l = sys.argv[4], sys.argv[5]
print(f"  {n:24s} wall {t*1e3:6.2f} ms x{t/true:5.2f} of /bin/true x{t/ref:5.2f} of pcxtoppm;"
      f"  CPU {c*1e3:5.2f} ms x{c/ctrue:5.2f} x{c/cref:5.2f}" + (f"  ({l} shared objects)" if l else ""))' \
        "${t[$i]}" "${t[0]}" "${t[1]}" "${names[$i]}" "${libs[$i]}"
done

# A 4 MB archive of one-byte members: the directory is nearly the whole file.
python3 - "$work/big.pak" <<'EOF'
import struct, sys
n = 4 * 1024 * 1024 // 25
directory = bytearray()
at = (n + 1) * 24
for i in range(n):
    directory += b"m%07d" % i + bytes(8) + struct.pack("<II", at + i, 1)
open(sys.argv[1], "wb").write(directory + bytes(24) + b"x" * n)
EOF
echo "directory of $(( $(stat -c %s "$work/big.pak") / 24 )) entries"
mapfile -t d < <(hyperfine -N --warmup 1 --min-runs 5 --export-json "$work/d.json" \
    "cksum $work/big.pak" "$build/yurn-pak list $work/big.pak" >/dev/null 2>&1;
    python3 -c 'import json, sys
for r in json.load(open(sys.argv[1]))["results"]: print(r["mean"])' "$work/d.json")
python3 -c 'import sys; c, p = map(float, sys.argv[1:3])
print(f"  yurn-pak list  {p*1e3:8.1f} ms  x{p/c:5.2f} of cksum on the same file")' "${d[0]}" "${d[1]}"
