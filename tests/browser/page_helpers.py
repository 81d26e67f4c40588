"""Helpers shared by the browser tests (kept out of conftest so tests can import them)."""

import hashlib
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

TIMEOUT_S = 20
# The site's public-looking name, mapped to 127.0.0.1 inside the browsers.
PUBLIC_HOST = "canvas.test"


def import_url(devsite, port: int, token: str, kind: str) -> str:
    q = lambda s: urllib.parse.quote(s, safe="")  # noqa: E731
    return f"{devsite.url}/import/blender#port={port}&token={q(token)}&kind={q(kind)}"


def sha256_file(path: Path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def wait_settled(page, attempts: int = 1) -> str:
    """Waits until the page's run number `attempts` has finished; returns its state."""
    page.wait_for_function(
        """n => {
            const b = document.body;
            if (!b || Number(b.dataset.attempts || 0) < n && b.dataset.state !== 'error-link') return false;
            const s = b.dataset.state || '';
            return s === 'done' || s.startsWith('error');
        }""",
        arg=attempts,
        timeout=TIMEOUT_S * 1000,
    )
    return page.evaluate("document.body.dataset.state")


@dataclass
class Job:
    """A bridge serving one asset to the page, with its request count."""

    state: object
    server: object
    port: int
    path: Path

    def requests(self) -> int:
        return self.server.stats()["requests"]

    def link(self, origin: str) -> str:
        return (f"{origin}/import/blender#port={self.port}&token={self.state.token}"
                f"&kind={self.state.kind}")
