"""The import page where the browser guards requests to this machine (Local Network Access).

Chromium is told that the development site is a public address, so the page's requests to the
bridge on 127.0.0.1 cross from the public to the loopback address space for real:
  --ip-address-space-overrides=127.0.0.1:<site port>=public   the site's endpoint is public
  --host-resolver-rules=MAP canvas.test 127.0.0.1             the page has a public-looking name
  --unsafely-treat-insecure-origin-as-secure=<site origin>    as the real https site is secure
The permission ("loopback-network") is set per test through Playwright: granted, denied, or
left at "prompt" (headless Chromium answers its question with Block)."""

from __future__ import annotations

from pathlib import Path

import pytest

from page_helpers import TIMEOUT_S, Job, sha256_file, wait_settled
from tavro_blender_uploader import bridge

PUBLIC_HOST = "canvas.test"
SNAPSHOT_META = {"width": 640, "height": 360, "frame": 1, "camera": "Camera"}
CHROMIUM_ARGS = ["--no-sandbox", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync"]

# Records the options of every request the page makes to the bridge, before the browser sees it.
RECORD_FETCH = """(() => {
  const original = window.fetch;
  window.__bridgeCalls = [];
  window.fetch = (url, init) => {
    if (String(url).startsWith("http://127.0.0.1:"))
      window.__bridgeCalls.push({url: String(url), space: init && init.targetAddressSpace});
    return original(url, init);
  };
})();"""

# A browser that knows nothing of the option and refuses it.
REFUSE_OPTION = """(() => {
  const OriginalRequest = window.Request, originalFetch = window.fetch;
  const refuse = (init) => {
    if (init && "targetAddressSpace" in init) throw new TypeError("unknown member targetAddressSpace");
  };
  window.Request = function (input, init) { refuse(init); return new OriginalRequest(input, init); };
  window.Request.prototype = OriginalRequest.prototype;
  window.fetch = (url, init) => { try { refuse(init); } catch (e) { return Promise.reject(e); }
                                  return originalFetch(url, init); };
})();"""


@pytest.fixture(scope="module")
def public_site(devsite):
    port = devsite.url.rsplit(":", 1)[1]
    return f"http://{PUBLIC_HOST}:{port}", port


@pytest.fixture(scope="module")
def public_browser(browser, public_site):
    """A second Chromium of the session's Playwright, seeing the site as a public address."""
    origin, port = public_site
    b = browser.browser_type.launch(executable_path="/usr/bin/chromium", args=CHROMIUM_ARGS + [
        f"--ip-address-space-overrides=127.0.0.1:{port}=public",
        f"--host-resolver-rules=MAP {PUBLIC_HOST} 127.0.0.1",
        f"--unsafely-treat-insecure-origin-as-secure={origin}",
    ])
    yield b
    b.close()


@pytest.fixture
def context_for(public_browser, public_site):
    """A fresh browser profile with the site's loopback permission set as asked."""
    origin, _ = public_site
    opened = []

    def make(permission):
        context = public_browser.new_context(viewport={"width": 1100, "height": 780}, locale="zh-CN")
        context.set_default_timeout(TIMEOUT_S * 1000)
        if permission == "granted":
            context.grant_permissions(["local-network-access"], origin=origin)
        elif permission == "denied":
            context.grant_permissions([], origin=origin)  # every permission refused
        opened.append(context)
        return context

    yield make
    for c in opened:
        c.close()


@pytest.fixture
def job(public_site, image_asset):
    """A bridge serving the snapshot to the public site's origin."""
    state = bridge.BridgeState(str(image_asset), "image", dict(SNAPSHOT_META))
    server, port = bridge.serve(state, public_site[0])
    yield Job(state, server, port, image_asset)
    server.shutdown()
    server.server_close()


def open_page(context, public_site, job, init_script=RECORD_FETCH):
    page = context.new_page()
    bridge_hits = []
    page.on("request", lambda r: bridge_hits.append(r.url) if f":{job.port}/" in r.url else None)
    page.add_init_script(init_script)
    kind = job.state.kind
    page.goto(f"{public_site[0]}/import/blender#port={job.port}&token={job.state.token}&kind={kind}")
    return page, bridge_hits


def stored_identical(devsite, asset: Path, upload_id: str) -> bool:
    (rec,) = [r for r in devsite.records() if r["id"] == upload_id]
    return sha256_file(Path(rec["path"])) == sha256_file(asset) and rec["size"] == asset.stat().st_size


def test_granted_imports_with_the_loopback_option(context_for, public_site, job, devsite):
    page, _ = open_page(context_for("granted"), public_site, job)
    assert wait_settled(page) == "done", page.inner_text("#status")
    assert page.evaluate("document.body.dataset.permission") == "granted"
    assert job.state.done.wait(5) and page.evaluate("document.body.dataset.doneAck") == "1"
    assert stored_identical(devsite, job.path, page.evaluate("document.body.dataset.uploadId"))
    calls = page.evaluate("window.__bridgeCalls")
    assert [c["url"].split("?")[0].rsplit("/", 1)[1] for c in calls] == ["meta", "asset", "done"]
    assert {c["space"] for c in calls} == {"loopback"}


def state_is(page, state):
    page.wait_for_function("s => document.body.dataset.state === s", arg=state)
    return True


def test_prompt_waits_for_the_click_then_the_browser_asks(context_for, public_site, job, devsite,
                                                          screenshot_dir):
    context = context_for("prompt")
    page, hits = open_page(context, public_site, job)
    assert state_is(page, "permission")
    status = page.inner_text("#status")
    assert "浏览器接下来会询问" in status and "允许" in status and "Blender" in status
    assert page.is_visible("#connect") and page.is_hidden("#retry") and page.is_hidden("#fallback")
    page.wait_for_timeout(500)
    # Nothing left the page before the click: neither the page's fetch nor the network saw it.
    assert page.evaluate("window.__bridgeCalls") == [] and hits == [] and job.requests() == 0
    page.screenshot(path=str(screenshot_dir / "import-permission.png"), full_page=True)

    # The click makes the first request, and so the browser's question; headless Chromium
    # answers it with Block, which the page names as the browser's doing, not Blender's.
    page.click("#connect")
    assert state_is(page, "error-blocked")
    assert len(page.evaluate("window.__bridgeCalls")) == 1 and job.requests() == 0
    status = page.inner_text("#status")
    assert "浏览器阻止了本页连接" in status and "Blender 可能已关闭" not in status
    assert page.is_visible("#fallback")

    # Allowed afterwards in the site settings: the page goes on by itself.
    context.grant_permissions(["local-network-access"], origin=public_site[0])
    assert state_is(page, "done")
    assert job.state.done.wait(5)
    assert stored_identical(devsite, job.path, page.evaluate("document.body.dataset.uploadId"))


def test_denied_shows_the_block_then_the_picked_file_is_uploaded(context_for, public_site, job, devsite,
                                                                tmp_path, screenshot_dir):
    page, hits = open_page(context_for("denied"), public_site, job)
    assert state_is(page, "error-blocked")
    status = page.inner_text("#status")
    assert "浏览器阻止了本页连接" in status and "网站设置" in status and "本地网络访问" in status
    assert page.is_visible("#retry") and page.is_visible("#fallback")
    assert "显示文件" in page.inner_text("#fallback-hint") and "lumo_stage_" in page.inner_text("#fallback-hint")
    assert page.get_attribute("#file", "accept") == "image/png,.png"
    page.screenshot(path=str(screenshot_dir / "import-blocked.png"), full_page=True)

    # A file of another kind is refused before anything is uploaded.
    before = len(devsite.records())
    wrong = tmp_path / "notes.png"
    wrong.write_bytes(b"not a picture at all")
    page.set_input_files("#file", str(wrong))
    page.wait_for_function("document.body.dataset.fallback === 'rejected'")
    assert "不是 Blender 发送的图片" in page.inner_text("#fallback-note")
    assert len(devsite.records()) == before

    page.set_input_files("#file", str(job.path))
    assert state_is(page, "done")
    assert page.evaluate("document.body.dataset.source") == "file"
    assert page.evaluate("document.body.dataset.doneAck") == "0"
    assert "自行关闭" in page.inner_text("#result-note")
    assert stored_identical(devsite, job.path, page.evaluate("document.body.dataset.uploadId"))
    assert hits == [] and job.requests() == 0 and not job.state.done.is_set()
    page.screenshot(path=str(screenshot_dir / "import-picked-file.png"), full_page=True)


def test_a_browser_that_refuses_the_option_still_imports(context_for, public_site, job, devsite):
    page, _ = open_page(context_for("granted"), public_site, job, init_script=REFUSE_OPTION)
    assert wait_settled(page) == "done", page.inner_text("#status")
    assert stored_identical(devsite, job.path, page.evaluate("document.body.dataset.uploadId"))


def test_shields_dropping_the_asset_offer_the_file_checked_against_meta(page, devsite, start_bridge,
                                                                       image_asset, tmp_path):
    """Brave's shields drop requests to this machine without a word: the page names them, and
    the picked file must have the size /meta told before the asset was dropped."""
    b = start_bridge(image_asset, "image", SNAPSHOT_META)
    page.add_init_script("navigator.brave = {isBrave: () => Promise.resolve(true)};")
    page.route(f"http://127.0.0.1:{b.port}/asset*", lambda route: route.abort("blockedbyclient"))
    page.goto(f"{devsite.url}/import/blender#port={b.port}&token={b.token}&kind=image")
    assert state_is(page, "error-refused")
    assert "Brave" in page.inner_text("#status") and page.is_visible("#fallback")
    assert image_asset.name in page.inner_text("#fallback-hint")  # known from /meta

    (tmp_path / "copy").mkdir()
    short = tmp_path / "copy" / image_asset.name
    short.write_bytes(image_asset.read_bytes()[:-10])
    page.set_input_files("#file", str(short))
    page.wait_for_function("document.body.dataset.fallback === 'rejected'")
    assert "Blender 发送的是" in page.inner_text("#fallback-note")

    page.set_input_files("#file", str(image_asset))
    assert state_is(page, "done")
    rec = devsite.records()[-1]
    assert rec["sha256"] == sha256_file(image_asset) and rec["meta"]["camera"] == "Camera"
    assert not b.state.done.is_set()


def test_picked_file_must_be_of_the_link_kind(context_for, public_site, devsite, video_asset, still_png):
    state = bridge.BridgeState(str(video_asset), "video", {"fps": 24, "truncated": False})
    server, port = bridge.serve(state, public_site[0])
    try:
        page, _ = open_page(context_for("denied"), public_site, Job(state, server, port, video_asset))
        assert state_is(page, "error-blocked")
        assert page.get_attribute("#file", "accept") == "video/mp4,.mp4"
        assert "刚发送的视频" in page.inner_text("#fallback-hint")
        page.set_input_files("#file", str(still_png))
        page.wait_for_function("document.body.dataset.fallback === 'rejected'")
        assert "不是 Blender 发送的视频（应为 .mp4 文件）" in page.inner_text("#fallback-note")
        page.set_input_files("#file", str(video_asset))
        assert state_is(page, "done")
        assert stored_identical(devsite, video_asset, page.evaluate("document.body.dataset.uploadId"))
    finally:
        server.shutdown()
        server.server_close()
