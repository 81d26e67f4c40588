"""The import page in headless Chromium against the add-on's bridge and the dev site."""

from __future__ import annotations

import socket
import time
from pathlib import Path

import pytest

from page_helpers import import_url, sha256_file, wait_settled

IMAGE_W, IMAGE_H, VIDEO_FRAMES = 640, 360, 48

SNAPSHOT_META = {"width": IMAGE_W, "height": IMAGE_H, "frame": 12, "camera": "主相机"}
ANIMATION_META = {
    "width": IMAGE_W,
    "height": IMAGE_H,
    "fps": 24,
    "frames": VIDEO_FRAMES,
    "duration": VIDEO_FRAMES / 24,
    "truncated": False,
    "camera": "Camera",
}


def _wait_done_flag(bridge, seconds: float = 5) -> bool:
    return bridge.state.done.wait(seconds)


def _refused_soon(port: int, within: float = 3.0) -> bool:
    end = time.monotonic() + within
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        except OSError:
            return True
        time.sleep(0.05)
    return False


def _stored(devsite, sha: str) -> list[dict]:
    return [r for r in devsite.records() if r["sha256"] == sha]


def _check_import(page, devsite, bridge, asset: Path, kind: str) -> dict:
    before = len(devsite.records())
    page.goto(import_url(devsite, bridge.port, bridge.token, kind))
    assert wait_settled(page) == "done", page.inner_text("#status")
    assert _wait_done_flag(bridge), "/done was not posted"
    assert page.evaluate("document.body.dataset.doneAck") == "1"
    assert _refused_soon(bridge.port), "bridge still listening after /done"

    sha = sha256_file(asset)
    records = devsite.records()
    assert len(records) == before + 1
    rec = records[-1]
    assert rec["sha256"] == sha and rec["size"] == asset.stat().st_size
    assert sha256_file(Path(rec["path"])) == sha
    assert rec["meta"]["kind"] == kind and rec["filename"] == asset.name
    upload_id = page.evaluate("document.body.dataset.uploadId")
    assert upload_id == rec["id"] and page.inner_text("#upload-id") == rec["id"]
    return rec


def test_image_import_is_byte_identical_and_previewed(page, devsite, start_bridge, image_asset, screenshot_dir):
    bridge = start_bridge(image_asset, "image", SNAPSHOT_META)
    rec = _check_import(page, devsite, bridge, image_asset, "image")
    assert rec["mime"] == "image/png" and rec["meta"]["camera"] == "主相机"

    size = page.evaluate("[document.querySelector('#preview img').naturalWidth, document.querySelector('#preview img').naturalHeight]")
    assert size == [IMAGE_W, IMAGE_H]
    meta_text = page.inner_text("#meta")
    assert f"{IMAGE_W} × {IMAGE_H}" in meta_text and "主相机" in meta_text and image_asset.name in meta_text
    assert page.get_attribute("#progress-fill", "style") and page.is_hidden("#retry")
    page.screenshot(path=str(screenshot_dir / "import-image.png"), full_page=True)


def test_video_import_is_byte_identical_and_playable(page, devsite, start_bridge, video_asset, screenshot_dir):
    bridge = start_bridge(video_asset, "video", ANIMATION_META)
    rec = _check_import(page, devsite, bridge, video_asset, "video")
    assert rec["mime"] == "video/mp4"

    # Decoding H.264 needs a Chromium built with it; the transfer itself is
    # checked above either way.
    page.wait_for_function(
        "() => document.querySelector('#preview .preview-note')"
        " || document.querySelector('#preview video').readyState >= 2"
    )
    decoded = page.evaluate(
        "() => { const v = document.querySelector('#preview video'); return v ? [v.videoWidth, v.videoHeight] : null; }"
    )
    if decoded is not None:
        assert decoded == [IMAGE_W, IMAGE_H]
        # Show a frame from the middle, settled, for the screenshot.
        page.evaluate(
            """() => new Promise(done => {
                const v = document.querySelector('#preview video');
                v.addEventListener('seeked', done, {once: true});
                v.currentTime = 1.0;
            })"""
        )
        page.wait_for_function("() => document.querySelector('#preview video').readyState >= 4")
        page.wait_for_timeout(1200)  # the player's loading indicator fades out
    meta_text = page.inner_text("#meta")
    assert "24 fps" in meta_text and "2 秒" in meta_text and "否" in meta_text
    page.screenshot(path=str(screenshot_dir / "import-video.png"), full_page=True)


_FETCH_META = """async url => {
    try {
        const r = await fetch(url);
        return {read: true, status: r.status, body: await r.json()};
    } catch (e) {
        return {read: false, error: e.name};
    }
}"""


def test_only_the_site_origin_can_read_meta(page, devsite, start_bridge, image_asset, foreign_origin):
    bridge = start_bridge(image_asset, "image", SNAPSHOT_META)

    page.goto(foreign_origin + "/")
    assert page.evaluate(_FETCH_META, bridge.meta_url()) == {"read": False, "error": "TypeError"}

    page.goto(devsite.url + "/")
    got = page.evaluate(_FETCH_META, bridge.meta_url())
    assert got["read"] and got["status"] == 200
    assert got["body"]["kind"] == "image" and got["body"]["size"] == image_asset.stat().st_size
    assert not bridge.state.done.is_set()


def test_failed_upload_then_retry_without_done_between(page, devsite, start_bridge, image_asset):
    bridge = start_bridge(image_asset, "image", SNAPSHOT_META)
    sha = sha256_file(image_asset)
    already = len(_stored(devsite, sha))  # earlier tests may have imported the same picture
    devsite.fail_next(1)

    page.goto(import_url(devsite, bridge.port, bridge.token, "image"))
    assert wait_settled(page) == "error-upload"
    assert "上传" in page.inner_text("#status") and "500" in page.inner_text("#status")
    assert page.is_visible("#retry")
    assert len(_stored(devsite, sha)) == already
    # The bridge must still be serving: no /done after a failed upload.
    time.sleep(0.3)
    assert not bridge.state.done.is_set()

    page.click("#retry")
    assert wait_settled(page, attempts=2) == "done"
    assert _wait_done_flag(bridge)
    assert len(_stored(devsite, sha)) == already + 1
    assert page.is_hidden("#retry")


def _wrong_token(bridge, devsite):
    return import_url(devsite, bridge.port, "x" + bridge.token[1:], "image")


def _file_deleted(bridge, devsite):
    bridge.path.unlink()
    return import_url(devsite, bridge.port, bridge.token, "image")


def _bridge_ended(bridge, devsite):
    bridge.stop()
    return import_url(devsite, bridge.port, bridge.token, "image")


def _no_fragment(bridge, devsite):
    return devsite.url + "/import/blender"


def _bad_kind(bridge, devsite):
    return import_url(devsite, bridge.port, bridge.token, "model")


@pytest.mark.parametrize(
    "make_url, state, text, retry",
    [
        (_wrong_token, "error-expired", "已失效或不正确", False),
        (_file_deleted, "error-gone", "已不存在", True),
        (_bridge_ended, "error-offline", "Blender 可能已关闭", True),
        (_no_fragment, "error-link", "导入链接不完整", False),
        (_bad_kind, "error-link", "导入链接不完整", False),
    ],
    ids=["wrong-token", "file-deleted", "bridge-ended", "no-fragment", "bad-kind"],
)
def test_failures_show_their_message(page, devsite, start_bridge, image_asset, make_url, state, text, retry):
    bridge = start_bridge(image_asset, "image", SNAPSHOT_META)
    before = len(devsite.records())
    page.goto(make_url(bridge, devsite))
    assert wait_settled(page) == state
    assert text in page.inner_text("#status")
    assert page.is_visible("#retry") == retry
    assert len(devsite.records()) == before
    if state != "error-offline":
        assert not bridge.state.done.is_set()


def test_undecodable_asset_is_still_imported(page, devsite, start_bridge, tmp_path):
    path = tmp_path / "lumo_stage_broken.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(4096))
    bridge = start_bridge(path, "image", SNAPSHOT_META)
    _check_import(page, devsite, bridge, path, "image")
    page.wait_for_selector("#preview .preview-note")
    assert "无法预览" in page.inner_text("#preview")
