"""Hostile local clients: what they can no longer do to a bridge, seen from a page's side."""

import os
import socket

import pytest

from bridge_wire import get, raw, refused, split

GONE = b'{"error": "asset gone"}'


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="FIFOs are POSIX")
def test_asset_that_is_not_a_regular_file_is_gone_without_blocking(start, tmp_path):
    path = tmp_path / "lumo_stage_fifo.mp4"
    os.mkfifo(path)
    state, _, port = start(path, "video")
    line, _, body = split(raw(port, f"GET /asset?token={state.token} HTTP/1.0\r\n\r\n".encode(), 5))
    assert (line, body) == ("HTTP/1.0 410 Gone", GONE)
    # The bridge is not stuck: it still answers, and a regular file there is served.
    os.unlink(path)
    path.write_bytes(b"x" * 10)
    assert split(get(port, f"/asset?token={state.token}"))[2] == b"x" * 10


def test_done_with_a_huge_declared_body_ends_the_job(start, asset):
    state, _, port = start(asset)
    head = f"POST /done?token={state.token} HTTP/1.1\r\nContent-Length: 8589934592\r\n\r\n"
    answer = raw(port, head.encode() + b"b" * 65536, 5)
    assert split(answer)[0] == "HTTP/1.0 200 OK" and split(answer)[2] == b'{"ok": true}'
    assert state.done.wait(2)
    assert refused(port, 2.0)


def test_meta_is_answered_at_once_during_a_flood_of_idle_connections(start, asset):
    state, _, port = start(asset)
    flood = []
    try:
        for _ in range(300):  # far more than the bridge keeps open
            flood.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        assert split(get(port, f"/meta?token={state.token}"))[0] == "HTTP/1.0 200 OK"
        # The oldest idle connections were closed to make room.
        flood[0].settimeout(2)
        assert flood[0].recv(10) == b""
    finally:
        for s in flood:
            s.close()
