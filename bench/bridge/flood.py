"""Flood benchmark: hostile local clients against a bridge running in this process, which is
given a 1024-descriptor limit like a common desktop host. The clients run in child processes
(so their descriptors do not count against the host's), connect to 127.0.0.1 only, and end by
themselves after --client-seconds. Prints one JSON object.

    .venv/bin/python bench/bridge/flood.py

Figures: the largest idle flood after which the bridge still answers /meta and still accepts;
/meta latency while 500 idle connections or 50 readers that stopped reading are open; the
host's threads, descriptors and RSS at the peak and one second after the clients have left.
"""

import argparse
import json
import os
import pathlib
import resource
import socket
import select
import statistics
import subprocess
import sys
import time

from harness import import_bridge, scratch_asset

HOST_DESCRIPTORS = 1024


def client_main(kind, count, port, token, seconds):
    """Child process: opens `count` connections, says "ready", holds them until told to go."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 64)), hard))
    request = f"GET /asset?token={token} HTTP/1.0\r\n\r\n".encode()
    held, failed = [], 0
    for _ in range(count):
        try:
            s = socket.socket()
            if kind == "stalled":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(5)
            s.connect(("127.0.0.1", port))
            if kind == "stalled":
                s.sendall(request)  # and never read the answer
            held.append(s)
        except OSError:
            failed += 1
    print(json.dumps({"opened": len(held), "failed": failed}), flush=True)
    # Held until the parent writes a line, or closes the pipe, or the time is up.
    select.select([sys.stdin], [], [], seconds)
    for s in held:
        s.close()


class Flood:
    def __init__(self, kind, count, port, token, seconds):
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--client", kind, str(count), str(port), token, str(seconds)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.report = json.loads(self.proc.stdout.readline() or "{}")

    def leave(self):
        try:
            self.proc.stdin.write("go\n")
            self.proc.stdin.flush()
        except OSError:
            pass
        self.proc.wait(30)
        self.proc.stdin.close()
        self.proc.stdout.close()


def host_figures():
    status = pathlib.Path("/proc/self/status").read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    return {
        "threads": int(fields["Threads"]),
        "descriptors": len(os.listdir("/proc/self/fd")),
        "rss_mib": round(int(fields["VmRSS"].split()[0]) / 1024, 1),
    }


def meta_ms(port, token, timeout=5.0):
    """One /meta exchange; its time in ms, or None when it failed or was not a 200."""
    t = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(f"GET /meta?token={token} HTTP/1.0\r\n\r\n".encode())
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
    except OSError:
        return None
    return (time.perf_counter() - t) * 1000 if answer.startswith(b"HTTP/1.0 200") else None


def latencies(port, token, n=20):
    times = [meta_ms(port, token) for _ in range(n)]
    ok = [t for t in times if t is not None]
    return {
        "answered": len(ok),
        "of": n,
        "median_ms": round(statistics.median(ok), 3) if ok else None,
        "max_ms": round(max(ok), 3) if ok else None,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--client", nargs=5, metavar=("KIND", "COUNT", "PORT", "TOKEN", "SECONDS"))
    ap.add_argument("--sizes", default="250,500,1000,2000,4000,8000", help="idle floods to try")
    ap.add_argument("--client-seconds", type=float, default=60)
    ap.add_argument("--asset-mib", type=int, default=64)
    args = ap.parse_args()
    if args.client:
        kind, count, port, token, seconds = args.client
        return client_main(kind, int(count), int(port), token, float(seconds))

    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (HOST_DESCRIPTORS, hard))
    bridge = import_bridge()
    asset = scratch_asset("lumo_stage_flood.mp4", args.asset_mib)
    result = {"host_descriptor_limit": HOST_DESCRIPTORS, "asset_mib": args.asset_mib}
    state = bridge.BridgeState(str(asset), "video", {"fps": 24})
    server, port = bridge.serve(state, "http://127.0.0.1:1")
    token = state.token
    result["host_before"] = host_figures()

    def under(kind, count, name):
        flood = Flood(kind, count, port, token, args.client_seconds)
        time.sleep(0.5)  # the bridge has met the whole flood
        figures = {"clients": flood.report, "meta": latencies(port, token)}
        figures["host_peak"] = host_figures()
        flood.leave()
        time.sleep(1)
        figures["host_1s_after"] = host_figures()
        figures["meta_after"] = meta_ms(port, token) is not None
        result[name] = figures
        return figures

    survived = 0
    for count in (int(x) for x in args.sizes.split(",")):
        f = under("idle", count, f"idle_{count}")
        if f["meta"]["answered"] == f["meta"]["of"] and f["meta_after"]:
            survived = count
        else:
            break
    result["largest_idle_flood_survived"] = survived
    under("stalled", 50, "stalled_50")

    state.done.set()
    server.shutdown()
    asset.unlink()
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
