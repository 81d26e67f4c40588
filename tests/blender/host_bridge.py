"""Helpers for host scripts (run by render_harness inside Blender) that talk to a bridge."""

import os
import socket
import time


def refused(port, within=10.0):
    """Whether connections to the port are refused within `within` seconds: the bridge closed."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            time.sleep(0.05)
        except OSError:
            return True
    return False


def launched_urls(path):
    """The URLs the recording browser launcher was given, oldest first."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()
