#!/usr/bin/env bash
# scripts/web_serve.py, the page's local server: what pays is sent gzipped to
# a browser that accepts it and inflates to the file byte for byte, the sound
# track is sent as it is, a browser without gzip gets the file itself, an
# unchanged file asked again with If-Modified-Since is a 304 without a body,
# and nothing outside the folder is served.
# Usage: web_serve.sh BUILD_DIR (not used: the server needs no build)
set -u
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/site/datos"
head -c 200000 /dev/urandom | base64 >"$work/site/yurn.js"
printf '["a", "b"]' >"$work/site/files.json"
head -c 50000 /dev/urandom >"$work/site/datos/cancion.mp3"
echo secreto >"$work/fuera.txt"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 scripts/web_serve.py "$port" "$work/site" 2>"$work/log" &
server=$!

python3 - "$port" "$work" <<'PY'
import gzip, sys, time, urllib.error, urllib.request
port, work = sys.argv[1], sys.argv[2]
base = f"http://127.0.0.1:{port}/"
failures = []

def get(path, headers=None):
    request = urllib.request.Request(base + path, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()

for _ in range(600):  # the server is up when it answers
    try:
        get("files.json")
        break
    except OSError:
        time.sleep(0.05)

for name in ["yurn.js", "files.json"]:
    status, headers, body = get(name, {"Accept-Encoding": "gzip, deflate"})
    original = open(f"{work}/site/{name}", "rb").read()
    if status != 200 or headers.get("Content-Encoding") != "gzip" or gzip.decompress(body) != original:
        failures.append(f"{name}: not sent gzipped or not the file ({status}, {headers.get('Content-Encoding')})")
    if name == "yurn.js" and len(body) >= len(original):
        failures.append("yurn.js: gzip did not make it smaller")
    if headers.get("Cache-Control") != "no-cache" or "Last-Modified" not in headers:
        failures.append(f"{name}: the browser is not let to keep it ({headers})")
    status, again, body = get(name, {"Accept-Encoding": "gzip", "If-Modified-Since": headers.get("Last-Modified", "")})
    if status != 304 or body:
        failures.append(f"{name}: asked again unchanged gives {status} with {len(body)} bytes")

status, headers, body = get("datos/cancion.mp3", {"Accept-Encoding": "gzip"})
if status != 200 or "Content-Encoding" in headers or body != open(f"{work}/site/datos/cancion.mp3", "rb").read():
    failures.append("cancion.mp3: not sent as it is")
status, headers, body = get("yurn.js")
if status != 200 or "Content-Encoding" in headers or body != open(f"{work}/site/yurn.js", "rb").read():
    failures.append("yurn.js without Accept-Encoding: not the file itself")
status, _, body = get("../fuera.txt", {"Accept-Encoding": "gzip"})
if b"secreto" in body:
    failures.append("a file outside the folder was served")
if get("nada.js", {"Accept-Encoding": "gzip"})[0] != 404:
    failures.append("a missing file is not a 404")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
PY
