#!/usr/bin/env python3
"""Local development stand-in for the canvas web site.

Serves the Blender import page at /import/blender and keeps whatever the
page uploads in a store folder, so the add-on can be tried end to end on one
machine:

    python3 devsite/server.py [--port N] [--store DIR] [--tls CERT KEY] [--extensions DIR]
    LUMO_SITE_URL=http://127.0.0.1:N blender ...

With --extensions it serves the Blender extension repository in DIR (written by
scripts/publish) at /extensions/: the index (JSON) to Blender, which asks with
"Accept: application/json", the page to a browser, and each zip as a file.

With --tls it serves https with the given PEM certificate and key, as the real
site does (browsers treat an https page's requests to 127.0.0.1 differently).

On start it prints one line that scripts can parse:

    devsite: http(s)://127.0.0.1:PORT store=/absolute/store/path

Upload protocol (POST /api/upload):
    body                the asset's bytes, with Content-Length (no chunking)
    Content-Type        the asset's media type (image/png, video/mp4, ...)
    X-Asset-Meta        the metadata as a JSON object, UTF-8, percent-encoded
                        (encodeURIComponent), because header values are bytes
                        and camera or file names may be non-ASCII
    answer 201          {"id": ..., "size": ..., "sha256": ..., "path": ...}
    answer 4xx/5xx      {"error": "..."}

Each upload becomes two files in the store: <id><ext> with the bytes and
<id>.json with the metadata, size, sha256 and media type. A "size" member in
the metadata must match the body length, so a truncated transfer is refused
instead of stored.

Test hooks:
    POST /api/fail-next?count=N   the next N uploads answer 500 (nothing stored)
    GET  /api/uploads             every stored record, oldest first
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import http.server
import json
import mimetypes
import os
import secrets
import shutil
import ssl
import sys
import tempfile
import threading
import urllib.parse
from pathlib import Path

HOST = "127.0.0.1"
STATIC_DIR = Path(__file__).resolve().parent / "static"
IMPORT_PATH = "/import/blender"
# Largest asset the add-on hands over (a 200 MB video); anything bigger is
# refused before a byte of it is read.
MAX_UPLOAD_BYTES = 200 * 1048576
CHUNK = 262144
META_HEADER = "X-Asset-Meta"

# Stored files get an extension from the media type only; the client's file
# name is kept in the record but never used to build a path.
_EXTENSIONS = {"image/png": ".png", "video/mp4": ".mp4", "image/jpeg": ".jpg"}

EXTENSIONS_PATH = "/extensions/"
_REPOSITORY_TYPES = {".json": "application/json", ".html": "text/html; charset=utf-8",
                     ".zip": "application/zip"}

_STATIC_FILES = {
    IMPORT_PATH: "import.html",
    "/import/import.js": "import.js",
    "/import/import.css": "import.css",
    "/": "index.html",
}


class Site:
    """Store folder, extension repository folder (or None) and the failure counter shared by
    all request threads."""

    def __init__(self, store: Path, extensions: Path | None = None):
        self.store = store
        self.extensions = extensions
        self._lock = threading.Lock()
        self._fail_next = 0

    def set_fail_next(self, count: int) -> None:
        with self._lock:
            self._fail_next = count

    def take_failure(self) -> bool:
        with self._lock:
            if self._fail_next > 0:
                self._fail_next -= 1
                return True
            return False

    def new_id(self) -> str:
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d%H%M%S")
        return f"{stamp}-{secrets.token_hex(4)}"

    def records(self) -> list[dict]:
        out = []
        for p in sorted(self.store.glob("*.json")):
            try:
                out.append(json.loads(p.read_text(encoding="utf-8")))
            except (OSError, ValueError):
                continue
        out.sort(key=lambda r: r.get("received_at", ""))
        return out


class UploadError(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


class Handler(http.server.BaseHTTPRequestHandler):
    site: Site  # set on the per-server subclass
    server_version = "devsite/1"
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - base class signature
        pass

    # -- helpers -------------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str, extra=()) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, obj) -> None:
        body = json.dumps(obj, ensure_ascii=False).encode("utf-8")
        self._send(status, body, "application/json; charset=utf-8")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"error": message})

    def _route(self) -> tuple[str, dict]:
        parts = urllib.parse.urlsplit(self.path)
        return parts.path, urllib.parse.parse_qs(parts.query)

    def _content_length(self) -> int:
        raw = self.headers.get("Content-Length")
        if raw is None:
            raise UploadError(411, "Content-Length required")
        try:
            length = int(raw)
        except ValueError:
            raise UploadError(400, "bad Content-Length") from None
        if length < 0:
            raise UploadError(400, "bad Content-Length")
        return length

    def _discard_body(self, length: int) -> None:
        left = length
        while left > 0:
            got = self.rfile.read(min(CHUNK, left))
            if not got:
                break
            left -= len(got)

    # -- methods -------------------------------------------------------------

    def do_GET(self):
        route, _ = self._route()
        if route in _STATIC_FILES:
            self._static(_STATIC_FILES[route])
        elif route == EXTENSIONS_PATH.rstrip("/"):
            # Relative links of the page resolve against the folder.
            self._send(301, b"", "text/plain", [("Location", EXTENSIONS_PATH)])
        elif route.startswith(EXTENSIONS_PATH):
            self._extensions(route[len(EXTENSIONS_PATH):])
        elif route == "/api/uploads":
            self._json(200, self.site.records())
        else:
            self._error(404, "not found")

    do_HEAD = do_GET

    def do_POST(self):
        route, query = self._route()
        if route == "/api/upload":
            self._upload()
        elif route == "/api/fail-next":
            try:
                count = int(query.get("count", ["1"])[0])
            except ValueError:
                count = -1
            self._discard_body(int(self.headers.get("Content-Length") or 0))
            if count < 0:
                self._error(400, "count must be a non-negative integer")
                return
            self.site.set_fail_next(count)
            self._json(200, {"fail_next": count})
        else:
            self._discard_body(int(self.headers.get("Content-Length") or 0))
            self._error(404, "not found")

    def _static(self, name: str) -> None:
        path = STATIC_DIR / name
        try:
            body = path.read_bytes()
        except OSError:
            self._error(404, "not found")
            return
        ctype = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype.endswith("javascript"):
            ctype += "; charset=utf-8"
        self._send(200, body, ctype)

    def _wants_json(self) -> bool:
        # Blender asks for the index with "Accept: application/json"; browsers name text/html.
        accept = (self.headers.get("Accept") or "").lower()
        return "application/json" in accept and "text/html" not in accept

    def _extensions(self, name: str) -> None:
        """The repository folder: its index at the folder's own address (JSON or the page, as
        asked), and each file in it by name, nothing below it."""
        folder = self.site.extensions
        if not name:
            name = "index.json" if self._wants_json() else "index.html"
        if folder is None or "/" in name or "\\" in name or name.startswith("."):
            self._error(404, "not found")
            return
        path = folder / name
        try:
            f = path.open("rb")
        except OSError:
            self._error(404, "not found")
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            ctype = _REPOSITORY_TYPES.get(path.suffix, "application/octet-stream")
            self.send_response(200)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(size))
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            if self.command != "HEAD":
                shutil.copyfileobj(f, self.wfile, CHUNK)

    def _upload(self) -> None:
        try:
            length = self._content_length()
        except UploadError as e:
            self.close_connection = True
            self._error(e.status, e.message)
            return
        if length > MAX_UPLOAD_BYTES:
            # The body is not read, so the connection cannot be reused.
            self.close_connection = True
            self._error(413, f"asset larger than {MAX_UPLOAD_BYTES // 1048576} MB")
            return
        if self.site.take_failure():
            self._discard_body(length)
            self._error(500, "upload rejected by test hook")
            return
        try:
            record = self._store(length)
        except UploadError as e:
            self._error(e.status, e.message)
            return
        self._json(
            201,
            {
                "id": record["id"],
                "size": record["size"],
                "sha256": record["sha256"],
                "path": record["path"],
            },
        )

    def _parse_meta(self) -> dict:
        raw = self.headers.get(META_HEADER, "")
        if not raw:
            return {}
        try:
            meta = json.loads(urllib.parse.unquote(raw, errors="strict"))
        except (ValueError, UnicodeDecodeError):
            raise UploadError(400, f"{META_HEADER} is not percent-encoded JSON") from None
        if not isinstance(meta, dict):
            raise UploadError(400, f"{META_HEADER} must be a JSON object")
        return meta

    def _store(self, length: int) -> dict:
        try:
            meta = self._parse_meta()
        except UploadError:
            self._discard_body(length)
            raise
        declared = meta.get("size")
        if isinstance(declared, int) and not isinstance(declared, bool) and declared != length:
            self._discard_body(length)
            raise UploadError(400, f"body has {length} bytes, metadata says {declared}")

        mime = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        mime = mime or str(meta.get("mime") or "application/octet-stream")
        upload_id = self.site.new_id()
        final = self.site.store / (upload_id + _EXTENSIONS.get(mime, ".bin"))
        digest = hashlib.sha256()
        fd, tmp = tempfile.mkstemp(dir=self.site.store, prefix=".incoming-")
        received = 0
        try:
            with os.fdopen(fd, "wb") as out:
                while received < length:
                    chunk = self.rfile.read(min(CHUNK, length - received))
                    if not chunk:
                        break
                    digest.update(chunk)
                    out.write(chunk)
                    received += len(chunk)
            if received != length:
                self.close_connection = True
                raise UploadError(400, f"body ended after {received} of {length} bytes")
            os.replace(tmp, final)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise

        record = {
            "id": upload_id,
            "size": received,
            "sha256": digest.hexdigest(),
            "path": str(final),
            "mime": mime,
            "kind": meta.get("kind"),
            "filename": meta.get("filename"),
            "meta": meta,
            "received_at": datetime.datetime.now(datetime.timezone.utc).isoformat(),
        }
        # The record is written last and atomically: a .json file in the store
        # always describes a complete asset.
        rec_path = self.site.store / (upload_id + ".json")
        tmp_rec = rec_path.with_suffix(".json.part")
        tmp_rec.write_text(json.dumps(record, ensure_ascii=False, indent=2), encoding="utf-8")
        os.replace(tmp_rec, rec_path)
        return record


def make_server(port: int, store: Path, tls: tuple[Path, Path] | None = None,
                extensions: Path | None = None) -> http.server.ThreadingHTTPServer:
    store.mkdir(parents=True, exist_ok=True)
    site = Site(store, extensions)
    bound = type("BoundHandler", (Handler,), {"site": site})
    server = http.server.ThreadingHTTPServer((HOST, port), bound)
    server.daemon_threads = True
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        # The handshake happens on the first read, in the request's own thread.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    return server


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Development stand-in for the canvas site.")
    parser.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1; 0 picks a free one")
    parser.add_argument(
        "--store",
        type=Path,
        default=Path(tempfile.gettempdir()) / "lumo-devsite-store",
        help="folder that receives uploads",
    )
    parser.add_argument("--tls", nargs=2, type=Path, metavar=("CERT", "KEY"), help="serve https with this PEM pair")
    parser.add_argument("--extensions", type=Path, metavar="DIR",
                        help="serve this extension repository folder (scripts/publish) at /extensions/")
    args = parser.parse_args(argv)
    store = args.store.resolve()
    extensions = args.extensions.resolve() if args.extensions else None
    try:
        server = make_server(args.port, store, args.tls, extensions)
    except OSError as e:
        print(f"devsite: cannot listen on {HOST}:{args.port}: {e}", file=sys.stderr)
        return 1
    port = server.server_address[1]
    scheme = "https" if args.tls else "http"
    print(f"devsite: {scheme}://{HOST}:{port} store={store}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
