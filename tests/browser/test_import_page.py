"""The import page in headless Chromium against the add-on's real bridge and the dev site."""

import json
import socket
import time
import urllib.request

import pytest

from page_helpers import import_url, sha256_file, wait_settled

IMAGE_META = {"width": 640, "height": 360, "frame": 1, "camera": "相机"}
VIDEO_META = {"width": 640, "height": 360, "fps": 24, "frames": 48, "duration": 2.0,
              "truncated": False, "camera": "Camera"}


def refused_soon(port, within=2.0):
    end = time.monotonic() + within
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        except OSError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("kind", ["image", "video"])
def test_import_stores_identical_bytes_and_closes_the_bridge(
        kind, devsite, start_bridge, page, image_asset, video_asset, screenshot_dir):
    path, meta = (image_asset, IMAGE_META) if kind == "image" else (video_asset, VIDEO_META)
    b = start_bridge(path, kind, meta)
    page.goto(import_url(devsite, b.port, b.token, kind))
    assert wait_settled(page) == "done"
    upload_id = page.evaluate("document.body.dataset.uploadId")
    record = next(r for r in devsite.records() if r["id"] == upload_id)
    assert record["sha256"] == sha256_file(path) and record["size"] == path.stat().st_size
    tag = "img" if kind == "image" else "video"
    assert page.locator(f"#preview {tag}").count() == 1
    assert b.state.done.is_set()
    assert refused_soon(b.port)
    page.screenshot(path=str(screenshot_dir / f"import-{kind}.png"), full_page=True)


def test_cors_admits_exactly_the_site_origin(devsite, start_bridge, page, image_asset, foreign_origin):
    b = start_bridge(image_asset, "image", IMAGE_META)
    fetch = """async url => {
        try { const r = await fetch(url); return "read:" + (await r.text()); }
        catch (e) { return "blocked"; }
    }"""
    page.goto(foreign_origin + "/")
    assert page.evaluate(fetch, b.meta_url()) == "blocked"
    page.goto(devsite.url + "/")
    got = page.evaluate(fetch, b.meta_url())
    assert got.startswith("read:") and json.loads(got[5:])["kind"] == "image"
    assert not b.state.done.is_set()


def test_failed_upload_keeps_the_bridge_and_retry_succeeds(devsite, start_bridge, page, image_asset):
    b = start_bridge(image_asset, "image", IMAGE_META)
    devsite.fail_next(1)
    page.goto(import_url(devsite, b.port, b.token, "image"))
    assert wait_settled(page) == "error-upload"
    assert not b.state.done.is_set()
    page.click("#retry")
    assert wait_settled(page, attempts=2) == "done"
    assert b.state.done.is_set()


def test_wrong_or_expired_token_shows_the_expiry_message(devsite, start_bridge, page, image_asset):
    b = start_bridge(image_asset, "image", IMAGE_META)
    page.goto(import_url(devsite, b.port, "x" * 43, "image"))
    assert wait_settled(page) == "error-expired"
    assert "已失效" in page.inner_text("body")
    assert not b.state.done.is_set()


def test_bridge_gone_shows_the_offline_message(devsite, start_bridge, page, image_asset):
    b = start_bridge(image_asset, "image", IMAGE_META)
    b.stop()
    page.goto(import_url(devsite, b.port, b.token, "image"))
    assert wait_settled(page) == "error-offline"
