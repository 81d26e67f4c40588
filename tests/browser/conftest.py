"""Fixtures for the import page tests: the development site, a bridge, the browsers.

Everything listens on 127.0.0.1 only. Set LUMO_SCREENSHOT_DIR to a folder
(for example docs/) to keep screenshots of successful imports there; by
default they go to the test's temporary folder.
"""

from __future__ import annotations

import contextlib
import http.server
import json
import os
import selectors
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from dataclasses import dataclass
from pathlib import Path

import pytest

import assets
import engines
from page_helpers import PUBLIC_HOST, TIMEOUT_S

ROOT = Path(__file__).resolve().parents[2]
ADDON_DIR = Path(os.environ.get("TAVRO_ADDON_DIR", ROOT / "build" / "addon"))
sys.path.insert(0, str(ADDON_DIR))
sys.modules.setdefault("bpy", None)  # the bridge needs no host; keep real Blender out

# The page talks to the add-on's own compiled bridge.
from tavro_blender_uploader import bridge  # noqa: E402

SERVER = ROOT / "devsite" / "server.py"
CHROMIUM = "/usr/bin/chromium"


# ---- development site ---------------------------------------------------------


@dataclass
class Devsite:
    url: str
    store: Path
    tls: ssl.SSLContext | None = None  # trusts the https site's own certificate

    def records(self) -> list[dict]:
        with urllib.request.urlopen(self.url + "/api/uploads", timeout=5, context=self.tls) as r:
            return json.load(r)

    def fail_next(self, count: int) -> None:
        req = urllib.request.Request(f"{self.url}/api/fail-next?count={count}", method="POST", data=b"")
        with urllib.request.urlopen(req, timeout=5, context=self.tls) as r:
            assert json.load(r) == {"fail_next": count}


def _read_banner(proc: subprocess.Popen, deadline_s: float) -> str:
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if sel.select(timeout=0.2):
            return proc.stdout.readline()
        if proc.poll() is not None:
            break
    raise RuntimeError("devsite did not announce its address")


@contextlib.contextmanager
def _run_devsite(store: Path, *args: str):
    proc = subprocess.Popen(
        [sys.executable, str(SERVER), "--port", "0", "--store", str(store), *args],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        line = _read_banner(proc, 10)
        fields = line.split()
        assert fields[0] == "devsite:" and fields[2].startswith("store="), line
        yield Devsite(url=fields[1], store=Path(fields[2][len("store="):]))
    finally:
        proc.terminate()
        proc.wait(timeout=5)


@pytest.fixture(scope="session")
def run_devsite():
    """The development site started with extra arguments, as a context manager."""
    return _run_devsite


@pytest.fixture(scope="session")
def devsite(tmp_path_factory):
    with _run_devsite(tmp_path_factory.mktemp("store")) as site:
        yield site


@pytest.fixture(scope="session")
def tls_devsite(tmp_path_factory):
    """The site over https, as the real one is, with a certificate made now for 127.0.0.1 and
    the public-looking name; the browsers are told to accept it."""
    if not shutil.which("openssl"):
        engines.unavailable("openssl is not installed")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", str(key),
         "-out", str(cert), "-subj", f"/CN={PUBLIC_HOST}", "-addext", f"subjectAltName=DNS:{PUBLIC_HOST},IP:127.0.0.1"],
        check=True, capture_output=True, timeout=30,
    )
    with _run_devsite(folder / "store", "--tls", str(cert), str(key)) as site:
        assert site.url.startswith("https://127.0.0.1:")
        site.tls = ssl.create_default_context(cafile=str(cert))
        yield site


# ---- bridge ----------------------------------------------------------------------


@dataclass
class Bridge:
    state: object
    port: int
    path: Path

    @property
    def token(self) -> str:
        return self.state.token

    def meta_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/meta?token={urllib.parse.quote(self.token, safe='')}"

    def stop(self) -> None:
        """Ends the bridge as a successful /done would, and waits until the port refuses."""
        self.state.done.set()
        end = time.monotonic() + 5
        while time.monotonic() < end:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
            except OSError:
                return
            time.sleep(0.05)
        raise AssertionError("bridge still accepts connections")


@pytest.fixture
def start_bridge(devsite):
    started = []

    def start(path: Path, kind: str, meta: dict) -> Bridge:
        state = bridge.BridgeState(str(path), kind, dict(meta))
        _server, port = bridge.serve(state, devsite.url)
        b = Bridge(state=state, port=port, path=path)
        started.append(b)
        return b

    yield start
    for b in started:
        b.state.done.set()


# ---- assets ------------------------------------------------------------------------

IMAGE_W, IMAGE_H = 640, 360
VIDEO_FRAMES = 48


@pytest.fixture(scope="session")
def still_png(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("assets") / "lumo_stage_still.png"
    assets.write_png(path, IMAGE_W, IMAGE_H)
    return path


@pytest.fixture
def image_asset(still_png, tmp_path) -> Path:
    # A copy per test, so a test may delete it.
    path = tmp_path / "lumo_stage_snapshot.png"
    shutil.copyfile(still_png, path)
    return path


@pytest.fixture(scope="session")
def video_asset(still_png, tmp_path_factory) -> Path:
    if not assets.have_ffmpeg():
        pytest.skip("ffmpeg is not installed")
    path = tmp_path_factory.mktemp("video") / "lumo_stage_anim.mp4"
    assets.write_mp4(path, still_png, IMAGE_W, IMAGE_H, VIDEO_FRAMES)
    return path


# ---- another origin ------------------------------------------------------------------


class _BlankPage(http.server.BaseHTTPRequestHandler):
    def log_message(self, format, *args):  # noqa: A002
        pass

    def do_GET(self):
        body = b"<!DOCTYPE html><title>elsewhere</title><p>another origin</p>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture
def foreign_origin():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _BlankPage)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


# ---- browser ---------------------------------------------------------------------------


@pytest.fixture(scope="session")
def browser():
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        engines.unavailable("playwright is not installed")
    if not os.access(CHROMIUM, os.X_OK):
        engines.unavailable(f"{CHROMIUM} is not installed")
    pw = sync_playwright().start()
    try:
        b = pw.chromium.launch(
            executable_path=CHROMIUM,
            args=["--no-sandbox", "--disable-background-networking", "--disable-component-update", "--disable-sync"],
        )
    except Exception as e:  # a broken local Chromium is an environment problem
        pw.stop()
        engines.unavailable(f"chromium does not start: {e}")
    yield b
    b.close()
    pw.stop()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport={"width": 1100, "height": 780}, locale="zh-CN")
    context.set_default_timeout(TIMEOUT_S * 1000)
    pg = context.new_page()
    yield pg
    context.close()


@pytest.fixture
def screenshot_dir(tmp_path) -> Path:
    target = os.environ.get("LUMO_SCREENSHOT_DIR")
    path = Path(target) if target else tmp_path
    path.mkdir(parents=True, exist_ok=True)
    return path


# ---- Firefox and WebKit ----------------------------------------------------------------------

ENGINES = ["chromium", "firefox", "webkit"]


@pytest.fixture(scope="session")
def firefox(tls_devsite):
    """Firefox ESR with Local Network Access as it ships, told that the https site is a public
    address (so its requests to the bridge cross into the loopback space) under its public name.
    The question Firefox asks gives up after 2 s, as if nobody had answered."""
    if not os.access(engines.FIREFOX, os.X_OK):
        engines.unavailable(f"{engines.FIREFOX} is not installed")
    port = tls_devsite.url.rsplit(":", 1)[1]
    try:
        ff = engines.Firefox({
            "network.lna.address_space.public.override": f"127.0.0.1:{port}",
            "network.dns.localDomains": PUBLIC_HOST,
            "network.lna.prompt.timeout": 2000,
        })
    except Exception as e:
        engines.unavailable(f"firefox does not start: {e}")
    yield ff
    ff.close()


@pytest.fixture(scope="session")
def webkit():
    missing = [p for p in (engines.MINIBROWSER, engines.WEBKIT_DRIVER) if not os.access(p, os.X_OK)]
    if missing or not shutil.which("Xvfb"):
        engines.unavailable(f"WebKitGTK needs {', '.join(missing) or 'Xvfb'}")
    try:
        wk = engines.WebKit()
    except Exception as e:
        engines.unavailable(f"WebKitGTK does not start: {e}")
    yield wk
    wk.close()


@pytest.fixture(params=ENGINES)
def tab(request):
    """A fresh page in each engine."""
    if request.param == "chromium":
        yield engines.ChromiumTab(request.getfixturevalue("page"))
        return
    t = request.getfixturevalue(request.param).new_tab()
    yield t
    t.close()
