"""The three browser engines behind one small tab interface: Chromium through Playwright,
Firefox through its built-in WebDriver BiDi (no geckodriver), WebKitGTK through Selenium's
WebKitGTK driver and MiniBrowser under a private Xvfb.

Every value crosses as JSON, so a test's expression means the same in every engine. Each
engine starts once per session; `CI=true` makes a missing one fail instead of skip."""

from __future__ import annotations

import base64
import itertools
import json
import os
import selectors
import shutil
import subprocess
import tempfile
import time
import warnings
from pathlib import Path

import pytest

from page_helpers import TIMEOUT_S

VIEWPORT = (1100, 780)
MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"
WEBKIT_DRIVER = "/usr/bin/WebKitWebDriver"
FIREFOX = shutil.which("firefox-esr") or shutil.which("firefox") or "/usr/bin/firefox-esr"


def unavailable(why: str):
    """A browser that cannot run: skipped here, a failure under CI."""
    if os.environ.get("CI", "").lower() == "true":
        pytest.fail(why)
    pytest.skip(why)


def _as_json(expr: str) -> str:
    # undefined becomes null, so every engine hands back a string
    return f"(async () => JSON.stringify((await ({expr})) ?? null))()"


class Tab:
    """What the tests do with a page; an engine supplies _json, click, set_file, screenshot."""

    engine = ""

    def js(self, expr: str):
        return json.loads(self._json(_as_json(expr)))

    def wait(self, expr: str, timeout: float = TIMEOUT_S):
        end = time.monotonic() + timeout
        while True:
            value = self.js(expr)
            if value:
                return value
            if time.monotonic() > end:
                seen = self.js("document.body && [document.body.dataset.state, document.body.innerText.slice(0, 300)]")
                raise AssertionError(f"{self.engine}: still false after {timeout} s: {expr}; page: {seen}")
            time.sleep(0.1)

    def wait_state(self, state: str) -> str:
        self.wait(f"document.body.dataset.state === {json.dumps(state)}")
        return state

    def text(self, selector: str) -> str:
        return self.js(f"document.querySelector({json.dumps(selector)}).innerText")

    def visible(self, selector: str) -> bool:
        return self.js(f"document.querySelector({json.dumps(selector)}).checkVisibility()")

    def dataset(self, key: str):
        return self.js(f"document.body.dataset.{key}")


# ---- Chromium -----------------------------------------------------------------------------


class ChromiumTab(Tab):
    engine = "chromium"

    def __init__(self, page):
        self.page = page

    def goto(self, url: str) -> None:
        self.page.goto(url)

    def _json(self, source: str) -> str:
        return self.page.evaluate(source)

    def click(self, selector: str) -> None:
        self.page.click(selector)

    def set_file(self, selector: str, path: Path) -> None:
        self.page.set_input_files(selector, str(path))

    def screenshot(self, path: Path) -> None:
        self.page.screenshot(path=str(path), full_page=True)


# ---- Firefox over WebDriver BiDi ----------------------------------------------------------


class BidiError(RuntimeError):
    pass


class Bidi:
    """A WebDriver BiDi connection: one command at a time, events are not subscribed."""

    def __init__(self, url: str):
        import websocket  # websocket-client, which selenium brings

        # Firefox refuses a handshake that carries an Origin header
        self.ws = websocket.create_connection(url, timeout=TIMEOUT_S, suppress_origin=True)
        self.ids = itertools.count(1)

    def __call__(self, method: str, **params):
        n = next(self.ids)
        self.ws.send(json.dumps({"id": n, "method": method, "params": params}))
        end = time.monotonic() + TIMEOUT_S * 2
        while time.monotonic() < end:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == n:
                if msg.get("type") == "error":
                    raise BidiError(f"{method}: {msg.get('error')}: {msg.get('message')}")
                return msg["result"]
        raise BidiError(f"{method}: no answer")

    def close(self) -> None:
        self.ws.close()


FIREFOX_PREFS = {
    "remote.active-protocols": 1,  # BiDi only
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "about:blank",
    "browser.aboutwelcome.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "intl.accept_languages": "zh-CN",
    # Nothing but the tests' own servers: every service Firefox would call is off or dead.
    "app.update.disabledForTesting": True,
    "app.normandy.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "services.settings.server": "http://127.0.0.1:9/",
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "extensions.update.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "browser.newtabpage.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.prefetch-next": False,
}


def _user_js(prefs: dict) -> str:
    return "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items())


def _wait_in_log(proc: subprocess.Popen, log: Path, marker: str, deadline_s: float) -> str:
    end = time.monotonic() + deadline_s
    while time.monotonic() < end and proc.poll() is None:
        for line in log.read_text(errors="replace").splitlines():
            if marker in line:
                return line
        time.sleep(0.1)
    raise RuntimeError(f"no {marker!r} from {proc.args[0]}")


class Firefox:
    """One headless Firefox with a fresh profile; each tab lives in a user context of its own,
    so its permissions start from the defaults."""

    def __init__(self, prefs: dict):
        self.profile = Path(tempfile.mkdtemp(prefix="lumo-firefox-"))
        (self.profile / "user.js").write_text(_user_js({**FIREFOX_PREFS, **prefs}))
        log = self.profile / "output.log"
        with open(log, "w") as out:
            self.proc = subprocess.Popen(
                [FIREFOX, "--headless", "--no-remote", "--profile", str(self.profile), "--remote-debugging-port", "0"],
                stdout=out, stderr=out,
            )
        try:
            line = _wait_in_log(self.proc, log, "WebDriver BiDi listening on", 60)
            self.bidi = Bidi(line.split("listening on", 1)[1].strip() + "/session")
            caps = self.bidi("session.new", capabilities={"alwaysMatch": {"acceptInsecureCerts": True}})
            self.version = caps["capabilities"]["browserVersion"]
        except Exception:
            self.close()
            raise

    def new_tab(self) -> "FirefoxTab":
        user_context = self.bidi("browser.createUserContext")["userContext"]
        context = self.bidi("browsingContext.create", type="tab", userContext=user_context)["context"]
        self.bidi("browsingContext.setViewport", context=context, viewport={"width": VIEWPORT[0], "height": VIEWPORT[1]})
        return FirefoxTab(self, context, user_context)

    def close(self) -> None:
        try:
            if hasattr(self, "bidi"):
                self.bidi("browser.close")
                self.bidi.close()
            self.proc.wait(timeout=15)
        except Exception:
            self.proc.kill()
            self.proc.wait(timeout=5)
        shutil.rmtree(self.profile, ignore_errors=True)


class FirefoxTab(Tab):
    engine = "firefox"

    def __init__(self, firefox: Firefox, context: str, user_context: str):
        self.bidi = firefox.bidi
        self.context = context
        self.user_context = user_context

    def goto(self, url: str) -> None:
        self.bidi("browsingContext.navigate", context=self.context, url=url, wait="complete")

    def _evaluate(self, source: str) -> dict:
        got = self.bidi("script.evaluate", expression=source, target={"context": self.context}, awaitPromise=True)
        if got["type"] == "exception":
            raise BidiError(got["exceptionDetails"]["text"])
        return got["result"]

    def _json(self, source: str) -> str:
        return self._evaluate(source)["value"]

    def _element(self, selector: str) -> dict:
        node = self._evaluate(f"document.querySelector({json.dumps(selector)})")
        assert node["type"] == "node", f"no {selector}"
        return {"sharedId": node["sharedId"]}

    def click(self, selector: str) -> None:
        # A real pointer click: the browser's question must follow a user's gesture.
        origin = {"type": "element", "element": self._element(selector)}
        self.bidi("input.performActions", context=self.context, actions=[{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "x": 0, "y": 0, "origin": origin},
                        {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}],
        }])

    def set_file(self, selector: str, path: Path) -> None:
        self.bidi("input.setFiles", context=self.context, element=self._element(selector), files=[str(path)])

    def screenshot(self, path: Path) -> None:
        got = self.bidi("browsingContext.captureScreenshot", context=self.context, origin="document")
        Path(path).write_bytes(base64.b64decode(got["data"]))

    def set_permission(self, origin: str, state: str) -> None:
        """The page's answer to Firefox's local device question, as the site settings hold it."""
        self.bidi("permissions.setPermission", descriptor={"name": "loopback-network"}, state=state,
                  origin=origin, userContext=self.user_context)

    def close(self) -> None:
        self.bidi("browsingContext.close", context=self.context)
        self.bidi("browser.removeUserContext", userContext=self.user_context)


# ---- WebKitGTK through Selenium -----------------------------------------------------------


class Xvfb:
    def __init__(self):
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        )
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        if not sel.select(timeout=15):
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + self.proc.stdout.readline().strip()

    def close(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=5)


class WebKit:
    """MiniBrowser in automation mode, driven by WebKitWebDriver, drawing on a private Xvfb."""

    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.webkitgtk.options import Options
        from selenium.webdriver.webkitgtk.service import Service

        self.xvfb = Xvfb()
        try:
            options = Options()
            options.binary_location = MINIBROWSER
            options.add_argument("--automation")
            options.set_capability("acceptInsecureCerts", True)
            service = Service(WEBKIT_DRIVER, env={**os.environ, "DISPLAY": self.xvfb.display})
            with warnings.catch_warnings():  # selenium's own WebKitGTK class uses a deprecated argument
                warnings.simplefilter("ignore", DeprecationWarning)
                self.driver = webdriver.WebKitGTK(options=options, service=service)
            self.driver.set_script_timeout(TIMEOUT_S)
            self.driver.set_page_load_timeout(TIMEOUT_S)
            self.version = self.driver.capabilities.get("browserVersion", "")
        except Exception:
            self.xvfb.close()
            raise

    def new_tab(self) -> "WebKitTab":
        # One window for the session; a blank page between tests.
        self.driver.get("about:blank")
        tab = WebKitTab(self.driver)
        tab.fit(VIEWPORT[1])
        return tab

    def close(self) -> None:
        try:
            self.driver.quit()
        finally:
            self.xvfb.close()


_PAINTED = """Promise.all([...document.images].map(i => i.decode().catch(() => null)))
  .then(() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r))))"""


class WebKitTab(Tab):
    engine = "webkit"

    def __init__(self, driver):
        self.driver = driver

    def goto(self, url: str) -> None:
        self.driver.get(url)

    def _json(self, source: str) -> str:
        return self.driver.execute_script(f"return {source};")

    def _element(self, selector: str):
        from selenium.webdriver.common.by import By

        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def click(self, selector: str) -> None:
        self._element(selector).click()

    def set_file(self, selector: str, path: Path) -> None:
        self._element(selector).send_keys(str(path))

    def fit(self, height: int) -> None:
        """Sizes the window so that its page area is the viewport's width and `height`."""
        frame = self.js("[window.outerWidth - window.innerWidth, window.outerHeight - window.innerHeight]")
        self.driver.set_window_size(VIEWPORT[0] + frame[0], height + frame[1])
        # Laid out and painted at the new size before anything looks at it.
        self.wait(f"window.innerHeight === {height}", timeout=5)
        self.js(_PAINTED)

    def screenshot(self, path: Path) -> None:
        # The window grows to the page, so the picture holds all of it.
        self.fit(max(VIEWPORT[1], self.js("document.documentElement.scrollHeight")))
        self.driver.save_screenshot(str(path))
        self.fit(VIEWPORT[1])

    def close(self) -> None:
        pass
