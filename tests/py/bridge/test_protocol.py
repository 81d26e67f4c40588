"""The bridge's answers to the byte, on real servers started with serve()."""

import json
import os
import socket
import threading
import time

import pytest

from bridge_wire import ORIGIN, get, raw, refused, split
from tavro_blender_uploader import bridge, config

CORS = [
    ("Access-Control-Allow-Origin", ORIGIN),
    ("Access-Control-Allow-Headers", "Content-Type"),
    ("Access-Control-Allow-Methods", "GET, POST, OPTIONS"),
    ("Access-Control-Allow-Private-Network", "true"),
]
JSON = ("Content-Type", "application/json; charset=utf-8")
NOT_FOUND = b'{"error": "not found"}'
GONE = b'{"error": "asset gone"}'


def expect_json(answer, status, body):
    line, headers, got = split(answer)
    assert line == status
    assert headers == CORS + [JSON, ("Content-Length", str(len(body)))]
    assert got == body


def test_meta_asset_done_exact_bytes(start, asset):
    meta = {"width": 1920, "height": 1080, "frame": 37, "camera": "相机.001", "ratio": 0.1,
            "size": "old", "ok": None, "flag": True}
    state, server, port = start(asset, "image", meta)
    t = state.token

    expected = dict(meta)
    expected.update(kind="image", filename=asset.name, size=asset.stat().st_size, mime="image/png")
    body = json.dumps(expected, ensure_ascii=False).encode()
    assert "size" in list(expected)[5]  # the replaced member kept its place
    expect_json(get(port, f"/meta?token={t}"), "HTTP/1.0 200 OK", body)
    assert meta["size"] == "old" and "kind" not in meta  # the caller's dict is untouched

    line, headers, got = split(get(port, f"/asset?token={t}"))
    assert line == "HTTP/1.0 200 OK"
    assert headers == CORS + [("Content-Type", "image/png"), ("Content-Length", str(asset.stat().st_size))]
    assert got == asset.read_bytes()

    expect_json(raw(port, f"POST /done?token={t} HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc".encode()),
                "HTTP/1.0 200 OK", b'{"ok": true}')
    assert state.done.wait(2)
    assert refused(port)


def test_options_any_path_without_token(start, asset):
    state, server, port = start(asset)
    for target in ("/", "/meta", "/anything/else?x=1", "*"):
        line, headers, body = split(get(port, target, "OPTIONS"))
        assert (line, headers, body) == ("HTTP/1.0 204 No Content", CORS + [("Content-Length", "0")], b"")


@pytest.mark.parametrize("target", [
    "/meta/", "/META", "/asset/x", "/", "/done", "/meta%2F", "/mEta",
])
def test_unknown_routes_are_404_before_the_token(start, asset, target):
    state, server, port = start(asset)
    sep = "&" if "?" in target else "?"
    expect_json(get(port, f"{target}{sep}token={state.token}"), "HTTP/1.0 404 Not Found", NOT_FOUND)


def test_routes_and_token_rules(start, asset):
    state, server, port = start(asset)
    t = state.token
    ok = lambda target: split(get(port, target))[0] == "HTTP/1.0 200 OK"
    assert ok(f"/meta?token={t}")
    assert ok(f"http://127.0.0.1:{port}/meta?token={t}")  # absolute form
    assert ok(f"/meta?x=1&token={t}&token=wrong")  # the first counts
    assert ok(f"/meta?token=&token={t}")  # an empty value counts as absent
    assert ok(f"/meta?%74oken={t}")  # names are decoded too
    assert ok(f"/meta?token={t}#frag")
    assert not ok(f"/meta?token=wrong&token={t}")
    assert not ok("/meta") and not ok("/meta?token=") and not ok("/meta?token")
    assert not ok(f"/meta?token={t[:-1]}") and not ok(f"/meta?token={t}x")
    assert not ok(f"/meta?token=%C3%A9{t[1:]}")
    # "+" is a space and %XX is decoded: a token carrying those is compared decoded.
    assert not ok(f"/meta?token={t[:-1]}+")
    escaped = "".join(f"%{ord(c):02X}" for c in t)
    assert ok(f"/meta?token={escaped}")
    expect_json(get(port, f"/done?token={t}"), "HTTP/1.0 404 Not Found", NOT_FOUND)  # GET /done
    expect_json(get(port, f"/meta?token={t}", "POST"), "HTTP/1.0 404 Not Found", NOT_FOUND)
    assert not state.done.is_set()


def test_other_methods_and_malformed_requests(start, asset):
    state, server, port = start(asset)
    for method in ("HEAD", "PUT", "DELETE"):
        line, headers, _ = split(get(port, f"/meta?token={state.token}", method))
        assert line.startswith("HTTP/1.0 501"), method
        assert ("Access-Control-Allow-Origin", ORIGIN) not in headers
    for garbage in (b"\x00\x01\x02 nonsense\r\n\r\n", b"GET\r\n\r\n", b"GET /meta HTTP/9\r\n\r\n"):
        line, headers, _ = split(raw(port, garbage))
        assert line.startswith("HTTP/1.0 400"), garbage
        assert ("Access-Control-Allow-Origin", ORIGIN) not in headers
    huge = b"GET /meta HTTP/1.1\r\n" + b"X-Pad: " + b"a" * 70000 + b"\r\n\r\n"
    assert split(raw(port, huge))[0].split()[1] in ("400", "431")
    many = b"GET /meta HTTP/1.1\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(200)) + b"\r\n"
    assert split(raw(port, many))[0].split()[1] in ("400", "431")
    assert split(get(port, f"/meta?token={state.token}"))[0] == "HTTP/1.0 200 OK"


def test_file_gone_then_back(start, asset):
    state, server, port = start(asset)
    data = asset.read_bytes()
    asset.unlink()
    expect_json(get(port, f"/meta?token={state.token}"), "HTTP/1.0 410 Gone", GONE)
    expect_json(get(port, f"/asset?token={state.token}"), "HTTP/1.0 410 Gone", GONE)
    asset.write_bytes(data)
    assert split(get(port, f"/asset?token={state.token}"))[2] == data


@pytest.mark.parametrize("size", [0, 262144, 262145, 3 * 262144 + 7])
def test_asset_sizes_byte_identical(start, tmp_path, size):
    path = tmp_path / "clip.mp4"
    path.write_bytes(os.urandom(size))
    state, server, port = start(path, "video")
    line, headers, body = split(get(port, f"/asset?token={state.token}"))
    assert dict(headers)["Content-Type"] == "video/mp4"
    assert dict(headers)["Content-Length"] == str(size) and body == path.read_bytes()
    meta = json.loads(split(get(port, f"/meta?token={state.token}"))[2])
    assert (meta["size"], meta["mime"], meta["kind"], meta["filename"]) == (size, "video/mp4", "video", "clip.mp4")


def test_unknown_extension_is_octet_stream(start, tmp_path):
    path = tmp_path / "lumo_stage_noext"
    path.write_bytes(b"x")
    state, server, port = start(path)
    assert dict(split(get(port, f"/asset?token={state.token}"))[1])["Content-Type"] == "application/octet-stream"


def test_short_ttl_expires_tokens_and_closes(monkeypatch, start, asset):
    monkeypatch.setattr(config, "BRIDGE_TTL_SECONDS", 1)
    state, server, port = start(asset)
    assert split(get(port, f"/meta?token={state.token}"))[0] == "HTTP/1.0 200 OK"
    time.sleep(1.05)
    line = split(get(port, f"/meta?token={state.token}"))[0] if not refused(port, 0.01) else None
    assert line in (None, "HTTP/1.0 404 Not Found")
    assert refused(port, 2.0)


def test_two_bridges_side_by_side(start, asset, tmp_path):
    other = tmp_path / "b.png"
    other.write_bytes(b"other")
    s1, _, p1 = start(asset)
    s2, _, p2 = start(other)
    assert p1 != p2 and s1.token != s2.token
    assert split(get(p1, f"/asset?token={s2.token}"))[0] == "HTTP/1.0 404 Not Found"
    assert split(get(p2, f"/asset?token={s2.token}"))[2] == b"other"


def test_serve_checks_before_binding(asset):
    state = bridge.BridgeState(str(asset), "image", {})
    with pytest.raises(ValueError, match="^站点地址必须是绝对 URL：canvas$"):
        bridge.serve(state, "canvas")
    with pytest.raises(TypeError, match="site_url"):
        bridge.serve(state, None)


def test_server_object(start, asset):
    state, server, port = start(asset)
    assert server.server_address == (config.BRIDGE_HOST, port)
    assert split(get(port, f"/meta?token={state.token}"))[0] == "HTTP/1.0 200 OK"
    server.shutdown()
    server.server_close()
    assert refused(port)
    server.shutdown()  # idempotent
    server.server_close()


def stream(port, token, into, read_delay=0.0):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(f"GET /asset?token={token} HTTP/1.0\r\n\r\n".encode())
        while True:
            data = s.recv(1 << 16)
            if not data:
                break
            into.append(len(data))
            if read_delay:
                time.sleep(read_delay)


def test_transfers_meta_done_and_misbehaving_clients(start, tmp_path):
    path = tmp_path / "big.mp4"
    with open(path, "wb") as f:
        f.truncate(64 * 1048576)
    state, server, port = start(path, "video")
    head_len = len(split(get(port, f"/meta?token={state.token}"))[0])
    assert head_len

    # A client that disconnects mid-transfer and one that never finishes its request.
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET /asset?token={state.token} HTTP/1.0\r\n\r\n".encode())
    s.recv(1000)
    s.close()
    idle = socket.create_connection(("127.0.0.1", port))
    idle.sendall(b"GET /meta")

    received = [[], []]
    slow = threading.Thread(target=stream, args=(port, state.token, received[0], 0.002))
    fast = threading.Thread(target=stream, args=(port, state.token, received[1]))
    slow.start(), fast.start()
    time.sleep(0.2)
    t0 = time.monotonic()
    assert split(get(port, f"/meta?token={state.token}"))[0] == "HTTP/1.0 200 OK"
    assert time.monotonic() - t0 < 2
    # /done while the transfers run: the port closes, the transfers still complete.
    assert split(raw(port, f"POST /done?token={state.token} HTTP/1.0\r\n\r\n".encode()))[2] == b'{"ok": true}'
    assert refused(port, 1.0)
    slow.join(60), fast.join(60)
    total = 64 * 1048576
    for got in received:
        assert sum(got) > total  # head + full body
    idle.close()
