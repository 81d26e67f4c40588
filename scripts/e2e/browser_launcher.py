"""A stand-in for the user's browser, named by BROWSER: records the URL it is given and opens
it in headless Chromium in the background, then returns at once as a desktop browser would.

    BROWSER="python3 browser_launcher.py %s"   (with TAVRO_E2E_DIR set to a folder)
"""

import json
import os
import pathlib
import sys
import time

CHROMIUM = "/usr/bin/chromium"
ARGS = ["--no-sandbox", "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def visit(url: str, out: pathlib.Path) -> None:
    from playwright.sync_api import sync_playwright

    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=CHROMIUM, args=ARGS)
        page = browser.new_page(viewport={"width": 1100, "height": 780}, locale="zh-CN")
        page.goto(url)
        page.wait_for_function(
            "() => { const s = document.body && document.body.dataset.state || '';"
            " return s === 'done' || s.startsWith('error'); }", timeout=120000)
        state = page.evaluate("document.body.dataset.state")
        page.screenshot(path=str(out / "import-page.png"), full_page=True)
        (out / "page.json").write_text(json.dumps({
            "state": state,
            "upload_id": page.evaluate("document.body.dataset.uploadId || ''"),
            "text": page.inner_text("#status") if page.locator("#status").count() else "",
        }, ensure_ascii=False))
        browser.close()


def main() -> int:
    url = sys.argv[1]
    out = pathlib.Path(os.environ["TAVRO_E2E_DIR"])
    (out / "url.txt").write_text(url)
    if os.fork() == 0:  # the page lives on after the launcher has answered
        os.setsid()
        try:
            visit(url, out)
        except Exception as e:  # reported to the driver through the file, not a console
            (out / "page.json").write_text(json.dumps({"state": "launcher-error", "error": str(e)}))
        os._exit(0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
