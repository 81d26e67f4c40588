import os

import pytest

from bridge_wire import ORIGIN_SITE
from tavro_blender_uploader import bridge


@pytest.fixture
def asset(tmp_path):
    path = tmp_path / "lumo_stage_abc.png"
    path.write_bytes(b"\x89PNG" + os.urandom(1000))
    return path


@pytest.fixture
def start():
    """Starts bridges and makes sure every one is closed after the test."""
    started = []

    def _start(path, kind="image", meta=None, site=ORIGIN_SITE):
        state = bridge.BridgeState(str(path), kind, {"width": 2, "height": 2} if meta is None else meta)
        server, port = bridge.serve(state, site)
        started.append((state, server))
        return state, server, port

    yield _start
    for state, server in started:
        state.done.set()
        server.shutdown()
        server.server_close()
