"""Test-only stand-in for the add-on's loopback bridge.

Speaks the bridge's HTTP protocol (GET /meta, GET /asset, POST /done and
OPTIONS, token in the query, CORS for exactly one origin) and offers the same
Python surface as the compiled module: `BridgeState(file_path, kind, meta)`
and `serve(state, site_url) -> (server, port)`. The import page tests only
go through those two names, so they run unchanged against the real bridge.
"""

from __future__ import annotations

import hmac
import http.server
import json
import mimetypes
import os
import secrets
import threading
import time
import urllib.parse

TTL_SECONDS = 1800
CHUNK = 262144


class BridgeState:
    def __init__(self, file_path: str, kind: str, meta: dict):
        self.file_path = file_path
        self.kind = kind
        self.meta = meta
        self.token = secrets.token_urlsafe(32)
        self.created_at = time.time()
        self.done = threading.Event()

    def expired(self) -> bool:
        return time.time() - self.created_at > TTL_SECONDS

    def valid_token(self, given: str) -> bool:
        try:
            return hmac.compare_digest(self.token.encode(), given.encode("ascii"))
        except UnicodeEncodeError:
            return False


def allowed_origin(site_url: str) -> str:
    parts = urllib.parse.urlsplit(site_url)
    if not parts.scheme or not parts.netloc:
        raise ValueError("站点地址必须是绝对 URL：" + site_url)
    return f"{parts.scheme}://{parts.netloc}"


def _mime(path: str) -> str:
    return mimetypes.guess_type(path)[0] or "application/octet-stream"


class _Handler(http.server.BaseHTTPRequestHandler):
    state: BridgeState
    origin = ""

    def log_message(self, format, *args):  # noqa: A002
        pass

    def _cors(self):
        self.send_header("Access-Control-Allow-Origin", self.origin)
        self.send_header("Access-Control-Allow-Headers", "Content-Type")
        self.send_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS")
        self.send_header("Access-Control-Allow-Private-Network", "true")

    def _json(self, code: int, obj, ensure_ascii=True):
        body = json.dumps(obj, ensure_ascii=ensure_ascii).encode("utf-8")
        self.send_response(code)
        self._cors()
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _reject(self, code: int, msg: str):
        self._json(code, {"error": msg})

    def _route(self):
        parts = urllib.parse.urlsplit(self.path)
        token = urllib.parse.parse_qs(parts.query).get("token", [""])[0]
        return parts.path, token

    def _auth(self, token: str) -> bool:
        if self.state.valid_token(token) and not self.state.expired():
            return True
        self._reject(404, "not found")
        return False

    def do_OPTIONS(self):
        self.send_response(204)
        self._cors()
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        route, token = self._route()
        if route not in ("/meta", "/asset"):
            self._reject(404, "not found")
        elif self._auth(token):
            self._send_meta() if route == "/meta" else self._send_asset()

    def do_POST(self):
        route, token = self._route()
        if route != "/done":
            self._reject(404, "not found")
        elif self._auth(token):
            self._json(200, {"ok": True})
            self.state.done.set()

    def _send_meta(self):
        path = self.state.file_path
        try:
            size = os.stat(path).st_size
        except OSError:
            self._reject(410, "asset gone")
            return
        meta = dict(self.state.meta)
        meta.update(kind=self.state.kind, filename=os.path.basename(path), size=size, mime=_mime(path))
        self._json(200, meta, ensure_ascii=False)

    def _send_asset(self):
        path = self.state.file_path
        try:
            size = os.stat(path).st_size
            f = open(path, "rb")
        except OSError:
            self._reject(410, "asset gone")
            return
        with f:
            self.send_response(200)
            self._cors()
            self.send_header("Content-Type", _mime(path))
            self.send_header("Content-Length", str(size))
            self.end_headers()
            while chunk := f.read(CHUNK):
                self.wfile.write(chunk)


def _reaper(state: BridgeState, server: http.server.ThreadingHTTPServer):
    state.done.wait(TTL_SECONDS)
    server.shutdown()
    server.server_close()


def serve(state: BridgeState, site_url: str):
    origin = allowed_origin(site_url)
    bound = type("_BoundHandler", (_Handler,), {"state": state, "origin": origin})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), bound)
    server.daemon_threads = True
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=_reaper, args=(state, server), daemon=True).start()
    return server, port
