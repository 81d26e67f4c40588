"""Raw-socket helpers for talking to a bridge byte by byte."""

import socket
import time


ORIGIN_SITE = "http://127.0.0.1:8765/some/path"
ORIGIN = "http://127.0.0.1:8765"


def raw(port, request: bytes, timeout=10.0) -> bytes:
    """Sends raw request bytes and reads the whole answer until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            data = s.recv(1 << 20)
            if not data:
                break
            chunks.append(data)
        return b"".join(chunks)


def get(port, target, method="GET"):
    return raw(port, f"{method} {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())


def split(answer: bytes):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    return lines[0], [tuple(l.split(": ", 1)) for l in lines[1:]], body


def refused(port, within=1.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        except OSError:
            return True
        time.sleep(0.01)
    return False


