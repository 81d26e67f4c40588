"""The import page in Chromium, Firefox and WebKit, each guarding requests to this machine its
own way: Firefox asks (Local Network Access), WebKit refuses an https page's requests to
http://127.0.0.1 as mixed content. Pictures of the blocked page in each land in the screenshot
folder (docs/import-blocked-firefox.png, docs/import-blocked-safari.png)."""

from __future__ import annotations

import time
from pathlib import Path

import pytest

from page_helpers import PUBLIC_HOST, Job, import_url, sha256_file
from tavro_blender_uploader import bridge

SNAPSHOT_META = {"width": 640, "height": 360, "frame": 1, "camera": "Camera"}
# Whose menus the page's instructions follow, by engine.
BROWSER_OF = {"chromium": "chromium", "firefox": "firefox", "webkit": "safari"}


@pytest.fixture
def serve():
    """Bridges that answer one site origin, with their request count."""
    servers = []

    def start(path: Path, kind: str, origin: str) -> Job:
        state = bridge.BridgeState(str(path), kind, dict(SNAPSHOT_META))
        server, port = bridge.serve(state, origin)
        servers.append(server)
        return Job(state, server, port, path)

    yield start
    for s in servers:
        s.shutdown()
        s.server_close()


def stored(site, upload_id: str) -> dict:
    (rec,) = [r for r in site.records() if r["id"] == upload_id]
    return rec


def assert_identical(site, asset: Path, upload_id: str) -> None:
    rec = stored(site, upload_id)
    assert rec["size"] == asset.stat().st_size
    assert rec["sha256"] == sha256_file(asset) == sha256_file(Path(rec["path"]))


@pytest.mark.parametrize("kind", ["image", "video"])
def test_loopback_page_imports_end_to_end(tab, kind, devsite, start_bridge, request, screenshot_dir):
    asset = request.getfixturevalue(f"{kind}_asset")
    b = start_bridge(asset, kind, SNAPSHOT_META)
    tab.goto(import_url(devsite, b.port, b.token, kind))
    assert tab.js("document.documentElement.dataset.browser") == BROWSER_OF[tab.engine]
    assert tab.wait_state("done") and b.state.done.wait(5), tab.text("#status")
    assert tab.dataset("doneAck") == "1" and tab.dataset("attempts") == "1"
    assert_identical(devsite, asset, tab.dataset("uploadId"))
    assert tab.text("#upload-id") == tab.dataset("uploadId")
    if kind == "image":
        assert tab.wait("document.querySelector('#preview img').naturalWidth") == SNAPSHOT_META["width"]
    else:  # decoding H.264 depends on the build; the note stands in for a picture it cannot show
        tab.wait("!!document.querySelector('#preview .preview-note') || document.querySelector('#preview video').readyState >= 2")
    tab.screenshot(screenshot_dir / f"import-{kind}-{tab.engine}.png")


# ---- Firefox: a public https page and the browser's question ------------------------------------


@pytest.fixture
def ff_public(firefox, tls_devsite, serve, image_asset):
    origin = f"https://{PUBLIC_HOST}:{tls_devsite.url.rsplit(':', 1)[1]}"
    tab = firefox.new_tab()
    yield tab, origin, serve(image_asset, "image", origin)
    tab.close()


def test_firefox_granted_imports(ff_public, tls_devsite):
    tab, origin, job = ff_public
    tab.set_permission(origin, "granted")
    tab.goto(job.link(origin))
    assert tab.wait_state("done"), tab.text("#status")
    assert tab.dataset("permission") == "granted" and tab.dataset("doneAck") == "1"
    assert job.state.done.wait(5) and job.requests() == 3  # meta, asset, done
    assert_identical(tls_devsite, job.path, tab.dataset("uploadId"))


def test_firefox_denied_names_firefox_menus_then_takes_the_file(ff_public, tls_devsite, screenshot_dir):
    tab, origin, job = ff_public
    tab.set_permission(origin, "denied")
    tab.goto(job.link(origin))
    assert tab.wait_state("error-blocked")
    status = tab.text("#status")
    assert "浏览器阻止了本页连接" in status and "访问此设备" in status and "Firefox" in status
    assert "网站设置" not in status and "Safari" not in status
    assert tab.visible("#fallback") and tab.visible("#retry")
    tab.screenshot(screenshot_dir / "import-blocked-firefox.png")

    tab.set_file("#file", job.path)
    assert tab.wait_state("done")
    assert tab.dataset("source") == "file" and tab.dataset("doneAck") == "0"
    assert_identical(tls_devsite, job.path, tab.dataset("uploadId"))
    assert job.requests() == 0 and not job.state.done.is_set()


def test_firefox_unanswered_question_asks_for_the_click_again(ff_public, tls_devsite):
    tab, origin, job = ff_public
    tab.goto(job.link(origin))
    assert tab.wait_state("permission") and tab.visible("#connect")
    time.sleep(0.3)
    assert job.requests() == 0  # nothing leaves before the click

    # The click's request makes Firefox ask; nobody answers and the question gives up.
    tab.click("#connect")
    tab.wait("document.body.dataset.attempts === '1' && document.body.dataset.state === 'permission'"
             " && document.querySelector('#status .hint') !== null")
    assert "没有得到回答" in tab.text("#status") and tab.visible("#connect")
    assert job.requests() == 0 and tab.dataset("permission") == "prompt"

    # Allowed afterwards in the site's permissions: the page goes on by itself.
    tab.set_permission(origin, "granted")
    assert tab.wait_state("done")
    assert job.state.done.wait(5)
    assert_identical(tls_devsite, job.path, tab.dataset("uploadId"))


# ---- WebKit: an https page's requests to 127.0.0.1 are mixed content -----------------------------


def test_webkit_https_page_is_refused_then_takes_the_file(webkit, tls_devsite, serve, image_asset, screenshot_dir):
    tab = webkit.new_tab()
    job = serve(image_asset, "image", tls_devsite.url)
    tab.goto(job.link(tls_devsite.url))
    assert tab.wait_state("error-refused")
    status = tab.text("#status")
    assert "Safari 不允许安全网页访问本机地址" in status and "网站设置" not in status
    # Refused inside the browser: the bridge never saw a request.
    assert job.requests() == 0
    assert tab.visible("#fallback") and "显示文件" in tab.text("#fallback-hint")
    assert not tab.visible("#retry")  # refused again on every try
    tab.screenshot(screenshot_dir / "import-blocked-safari.png")

    tab.set_file("#file", job.path)
    assert tab.wait_state("done"), tab.text("#status")
    assert tab.dataset("source") == "file"
    assert_identical(tls_devsite, job.path, tab.dataset("uploadId"))
    assert job.requests() == 0 and not job.state.done.is_set()
