"""The server handle's stats(): what the host reads of a running bridge, counted by its threads."""

import time

from bridge_wire import get, refused


def stats_when(server, key, value, within=5.0):
    """The snapshot once `key` holds `value`: counts land just after the answer is written."""
    deadline = time.monotonic() + within
    while server.stats()[key] != value and time.monotonic() < deadline:
        time.sleep(0.01)
    return server.stats()


def test_stats_follow_meta_asset_done_and_close(start, asset):
    state, server, port = start(asset)
    size = asset.stat().st_size
    assert server.stats() == {"requests": 0, "meta_requests": 0, "asset_requests": 0,
                              "asset_bytes": 0, "asset_size": 0, "done": False, "closed": False}
    token = state.token
    get(port, "/meta?token=wrong")  # answered, but nobody connected
    get(port, f"/meta?token={token}")
    assert stats_when(server, "requests", 2)["meta_requests"] == 1
    get(port, f"/asset?token={token}")
    get(port, f"/asset?token={token}")  # a retry: bytes add up over both answers
    s = stats_when(server, "asset_bytes", 2 * size)
    assert (s["asset_requests"], s["asset_size"], s["done"]) == (2, size, False)
    get(port, f"/done?token={token}", method="POST")
    assert refused(port, 5)
    s = server.stats()
    assert s["done"] and s["closed"] and s["requests"] == 5


def test_closing_from_the_host_shows_closed_without_done(start, asset):
    state, server, port = start(asset)
    server.shutdown()
    server.server_close()
    assert refused(port) and server.stats()["closed"] and not server.stats()["done"]
