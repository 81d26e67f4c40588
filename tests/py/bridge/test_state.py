"""BridgeState, its done event, and the origin policy."""

import re
import threading
import time

import pytest

from tavro_blender_uploader import bridge, config
from threads import ticks_while


def test_state_fields_and_fresh_tokens():
    meta = {"width": 1}
    before = time.time()
    a = bridge.BridgeState("/tmp/x.png", "image", meta)
    b = bridge.BridgeState(file_path="/tmp/x.png", kind="video", meta={})
    assert a.file_path == "/tmp/x.png" and a.kind == "image" and a.meta is meta
    assert re.fullmatch(r"[A-Za-z0-9_-]{43}", a.token) and a.token != b.token
    assert before <= a.created_at <= time.time()
    assert not a.done.is_set() and not a.expired()
    with pytest.raises(AttributeError):
        a.token = "x"


@pytest.mark.parametrize("args, name", [
    ((None, "image", {}), "file_path"), ((b"/x", "image", {}), "file_path"),
    (("/x", 1, {}), "kind"), (("/x", "image", []), "meta"), (("/x", "image", None), "meta"),
])
def test_constructor_types_name_the_argument(args, name):
    with pytest.raises(TypeError, match=name):
        bridge.BridgeState(*args)


def test_constructor_count():
    with pytest.raises(TypeError):
        bridge.BridgeState("/x", "image")
    with pytest.raises(TypeError):
        bridge.BridgeState("/x", "image", {}, 1)


def test_valid_token_only_on_exact_equality():
    s = bridge.BridgeState("/x", "image", {})
    t = s.token
    assert s.valid_token(t) and s.valid_token(given=t)
    for wrong in ("", t.swapcase(), t + "A", t[:-1], t[:-1] + "é", "é" * 43):
        assert not s.valid_token(wrong)
    with pytest.raises(TypeError, match="given"):
        s.valid_token(None)


def test_expired_reads_the_clock_and_the_lifetime_at_each_call(monkeypatch):
    s = bridge.BridgeState("/x", "image", {})
    monkeypatch.setattr(time, "time", lambda: s.created_at + 1800)
    assert not s.expired()  # exactly the lifetime: not yet
    monkeypatch.setattr(time, "time", lambda: s.created_at + 1800.001)
    assert s.expired()
    monkeypatch.setattr(config, "BRIDGE_TTL_SECONDS", 3600)
    assert not s.expired()


def test_done_event_is_one_shot_and_wait_releases_the_gil():
    s = bridge.BridgeState("/x", "image", {})
    assert s.done.wait(0.01) is False and s.done.wait(timeout=0) is False
    ticks, _ = ticks_while(lambda: s.done.wait(0.2))  # another Python thread keeps running
    assert ticks > 1000
    threading.Timer(0.05, s.done.set).start()
    assert s.done.wait() is True and s.done.is_set()
    s.done.set()
    assert s.done.is_set()


def test_allowed_origin():
    assert bridge.allowed_origin("https://Canvas.Example.COM:8443/p/a?q=1#f") == (
        "https://Canvas.Example.COM:8443")
    assert bridge.allowed_origin("HTTPS://h.example") == "https://h.example"
    assert bridge.allowed_origin("http://user@h:1") == "http://user@h:1"
    for bad in ("canvas.example.com/import", "//canvas.example.com", "", "file:///tmp/x"):
        with pytest.raises(ValueError) as err:
            bridge.allowed_origin(bad)
        assert str(err.value) == "站点地址必须是绝对 URL：" + bad
    with pytest.raises(TypeError, match="site_url"):
        bridge.allowed_origin(None)



@pytest.mark.parametrize("name", ["_Server", "_Event", "BridgeState"])
@pytest.mark.parametrize("replacement", [None, int, object()])
def test_rebinding_the_module_types_changes_nothing_native(monkeypatch, asset, name, replacement):
    make_state = bridge.BridgeState
    monkeypatch.setattr(bridge, name, replacement)
    state = make_state(str(asset), "image", {})
    server, port = bridge.serve(state, "http://127.0.0.1:1")
    try:
        assert type(state.done).__name__ == "Event" and not state.done.is_set()
        assert server.server_address[1] == port > 0
    finally:
        state.done.set()
        server.shutdown()
        server.server_close()
    with pytest.raises(TypeError, match="^state must be a BridgeState, not int$"):
        bridge.serve(5, "http://127.0.0.1:1")
