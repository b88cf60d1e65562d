#!/usr/bin/env python3
"""Serves the built page folder on 127.0.0.1: web_serve.py PORT FOLDER.

A static server like python's own, with two things a real host does too:
responses that pay for it are sent gzip-compressed to a browser that accepts
it (the program, the page, files.json, the archive, pictures and meshes; not
the MP3, which gzip shrinks by a tenth), and every response lets the browser
keep the file and ask again with If-Modified-Since (Cache-Control: no-cache),
so a second visit downloads nothing that has not changed."""
import email.utils
import functools
import gzip
import http.server
import os
import sys

COMPRESSED = {".wasm", ".js", ".json", ".html", ".pak", ".pcx", ".txt", ".3ds", ".css"}


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript", ".mjs": "text/javascript"}
    compressed = {}  # path -> (modification time, gzip bytes)

    def end_headers(self):
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

    def send_head(self):
        path = self.translate_path(self.path)
        if os.path.isdir(path):
            path = os.path.join(path, "index.html")
        accepts = "gzip" in self.headers.get("Accept-Encoding", "")
        if not accepts or os.path.splitext(path)[1] not in COMPRESSED or not os.path.isfile(path):
            return super().send_head()
        stat = os.stat(path)
        since = self.headers.get("If-Modified-Since")
        if since:
            try:
                if int(stat.st_mtime) <= email.utils.parsedate_to_datetime(since).timestamp():
                    self.send_response(304)
                    self.send_header("Vary", "Accept-Encoding")
                    self.end_headers()
                    return None
            except (TypeError, ValueError, IndexError, OverflowError):
                pass
        cached = self.compressed.get(path)
        if not cached or cached[0] != stat.st_mtime:
            with open(path, "rb") as f:
                cached = (stat.st_mtime, gzip.compress(f.read(), compresslevel=6))
            self.compressed[path] = cached
        body = cached[1]
        self.send_response(200)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Vary", "Accept-Encoding")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Last-Modified", self.date_time_string(stat.st_mtime))
        self.end_headers()
        return _Body(body)


class _Body:
    """What send_head returns for do_GET to copy out (and for do_HEAD to close)."""

    def __init__(self, data):
        self.data = data

    def read(self, *_):
        data, self.data = self.data, b""
        return data

    def close(self):
        pass


def main():
    if len(sys.argv) != 3:
        print("uso: web_serve.py PUERTO CARPETA", file=sys.stderr)
        sys.exit(2)
    handler = functools.partial(Handler, directory=sys.argv[2])
    with http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), handler) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
