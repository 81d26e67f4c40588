"""Loads `ops` with a fake host API in place of bpy (ops needs one to load), then hands each
test recording fakes of the modules it reaches through its globals."""

import sys

import pytest

import ops_fakes

_saved = sys.modules.get("bpy", None)
_had = "bpy" in sys.modules
sys.modules["bpy"] = ops_fakes.host_api()
try:
    from tavro_blender_uploader import ops  # noqa: F401  (loaded once, kept in sys.modules)
finally:
    if _had:
        sys.modules["bpy"] = _saved
    else:
        del sys.modules["bpy"]


@pytest.fixture
def ops_module():
    from tavro_blender_uploader import ops

    return ops


@pytest.fixture
def fakes(ops_module, monkeypatch):
    """ops with a recording render, browser and host API; the real bridge and config."""
    f = type("Fakes", (), {})()
    f.render = ops_fakes.Render()
    f.browser = ops_fakes.Browser()
    monkeypatch.setattr(ops_module, "render", f.render)
    monkeypatch.setattr(ops_module, "webbrowser", f.browser)
    f.host = ops_fakes.host_api()
    monkeypatch.setattr(ops_module, "bpy", f.host)
    return f


@pytest.fixture(autouse=True)
def bridges(ops_module, monkeypatch):
    """Each test starts with no known bridge; the real ones it started are closed after it."""
    known = []
    monkeypatch.setattr(ops_module, "_bridges", known)
    monkeypatch.setattr(ops_module, "_shown", [])
    yield known
    for entry in known:
        entry.server.shutdown()
        entry.server.server_close()


@pytest.fixture
def served():
    """Closes every bridge a test started, through its own /done, so no server outlives it."""
    jobs = []
    yield jobs
    for port, token in jobs:
        try:
            ops_fakes.bridge_done(port, token)
        except OSError:
            pass
