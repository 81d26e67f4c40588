"""The development site's upload API and page serving, over plain HTTP (no browser)."""

from __future__ import annotations

import hashlib
import http.client
import json
import urllib.parse
from pathlib import Path

import pytest


def _conn(devsite) -> http.client.HTTPConnection:
    parts = urllib.parse.urlsplit(devsite.url)
    return http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)


def _upload(devsite, body: bytes, meta=None, mime="image/png", raw_meta=None):
    headers = {"Content-Type": mime}
    if raw_meta is not None:
        headers["X-Asset-Meta"] = raw_meta
    elif meta is not None:
        headers["X-Asset-Meta"] = urllib.parse.quote(json.dumps(meta, ensure_ascii=False), safe="")
    c = _conn(devsite)
    try:
        c.request("POST", "/api/upload", body=body, headers=headers)
        r = c.getresponse()
        return r.status, json.loads(r.read())
    finally:
        c.close()


def _get(devsite, path: str):
    c = _conn(devsite)
    try:
        c.request("GET", path)
        r = c.getresponse()
        return r.status, r.getheader("Content-Type"), r.read()
    finally:
        c.close()


def test_upload_is_stored_with_record_and_unicode_meta(devsite):
    body = bytes(range(256)) * 1100  # crosses the server's read chunk
    meta = {"width": 4, "height": 3, "camera": "正面相机", "kind": "image", "filename": "../../etc/x.png",
            "size": len(body)}
    status, answer = _upload(devsite, body, meta)
    assert status == 201
    sha = hashlib.sha256(body).hexdigest()
    assert answer["size"] == len(body) and answer["sha256"] == sha
    stored = Path(answer["path"])
    # The client's file name never becomes a path.
    assert stored.parent == devsite.store and stored.suffix == ".png"
    assert stored.read_bytes() == body
    record = json.loads(stored.with_suffix(".json").read_text(encoding="utf-8"))
    assert record["id"] == answer["id"] and record["sha256"] == sha
    assert record["meta"]["camera"] == "正面相机" and record["filename"] == "../../etc/x.png"
    assert not list(devsite.store.glob(".incoming-*"))


@pytest.mark.parametrize(
    "meta, raw, why",
    [
        ({"size": 5}, None, "metadata says 5"),
        (None, "%7Bnot json", "not percent-encoded JSON"),
        (None, urllib.parse.quote("[1, 2]"), "must be a JSON object"),
    ],
    ids=["size-mismatch", "bad-json", "not-an-object"],
)
def test_bad_uploads_are_refused_and_not_stored(devsite, meta, raw, why):
    before = len(devsite.records())
    status, answer = _upload(devsite, b"four", meta, raw_meta=raw)
    assert status == 400 and why in answer["error"]
    assert len(devsite.records()) == before


def test_fail_next_fails_exactly_that_many_uploads(devsite):
    devsite.fail_next(2)
    results = [_upload(devsite, b"abc", {"kind": "image"})[0] for _ in range(3)]
    assert results == [500, 500, 201]


def test_oversized_upload_is_refused_before_reading(devsite):
    c = _conn(devsite)
    try:
        c.putrequest("POST", "/api/upload")
        c.putheader("Content-Length", str(200 * 1048576 + 1))
        c.endheaders()
        r = c.getresponse()
        assert r.status == 413 and "200 MB" in json.loads(r.read())["error"]
    finally:
        c.close()


def test_import_page_and_its_files_are_served(devsite):
    status, ctype, body = _get(devsite, "/import/blender")
    assert status == 200 and ctype.startswith("text/html")
    html = body.decode("utf-8")
    assert 'src="import.js"' in html and 'href="import.css"' in html
    # Relative references from /import/blender resolve below /import/.
    for name, kind in (("import.js", "javascript"), ("import.css", "text/css")):
        status, ctype, _ = _get(devsite, "/import/" + name)
        assert status == 200 and kind in ctype
    for path in ("/import/blender/", "/import/../server.py", "/static/import.js"):
        assert _get(devsite, path)[0] == 404


BROWSER_ACCEPT = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"


def test_extension_repository_json_for_blender_page_for_a_browser(tmp_path, run_devsite):
    repository = tmp_path / "repository"
    repository.mkdir()
    files = {"index.json": b'{"version": "v1", "data": []}', "index.html": b"<!DOCTYPE html>",
             "x-1.0.0-linux-x64.zip": bytes(range(256)) * 40, ".hidden": b"secret"}
    for name, body in files.items():
        (repository / name).write_bytes(body)
    cases = [  # path, Accept, status, media type, body
        ("/extensions/", "application/json", 200, "application/json", files["index.json"]),
        ("/extensions/", BROWSER_ACCEPT, 200, "text/html", files["index.html"]),
        ("/extensions/", None, 200, "text/html", files["index.html"]),
        ("/extensions/index.json", BROWSER_ACCEPT, 200, "application/json", files["index.json"]),
        # the page's links carry a query for Blender's drag and drop
        ("/extensions/x-1.0.0-linux-x64.zip?repository=.%2Findex.json", None, 200, "application/zip",
         files["x-1.0.0-linux-x64.zip"]),
        ("/extensions", None, 301, "text/plain", b""),
        ("/extensions/.hidden", None, 404, "application/json", None),
        ("/extensions/../server.py", None, 404, "application/json", None),
        ("/extensions/sub/index.json", None, 404, "application/json", None),
        ("/extensions/missing.zip", None, 404, "application/json", None),
    ]
    with run_devsite(tmp_path / "store", "--extensions", str(repository)) as site:
        for path, accept, status, ctype, body in cases:
            parts = urllib.parse.urlsplit(site.url)
            c = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
            c.request("GET", path, headers={"Accept": accept} if accept else {})
            r = c.getresponse()
            got = r.read()
            c.close()
            assert (r.status, r.getheader("Content-Type").split(";")[0]) == (status, ctype), path
            if body is not None:
                assert got == body and r.getheader("Content-Length") == str(len(body)), path
            if status == 301:
                assert r.getheader("Location") == "/extensions/"


def test_no_extension_repository_unless_named(devsite):
    assert _get(devsite, "/extensions/")[0] == 404
