"""Bridge benchmark: the bridge runs inside this Python process, as in Blender, while the
"host" main thread is idle, runs Python, or holds the GIL in one long C call. Clients are curl
processes on 127.0.0.1. Prints one JSON object.

    .venv/bin/python bench/bridge/run.py [--size-mib 200]
"""

import argparse
import json
import math
import socket
import statistics
import subprocess
import threading
import time

from harness import MIB, ROOT, import_bridge, scratch_asset

bridge = import_bridge()
CEILING = ROOT / "build" / "bench" / "bench_ceiling"


def curl_cmd(url, out="/dev/null"):
    return ["curl", "-s", "--max-time", "60", "-o", out, "-w", "%{size_download} %{time_total}\\n", url]


def rate(output):
    size, seconds = output.split()
    return int(size) / MIB / float(seconds)


def meta_script(url, n):
    return ["sh", "-c", f"for i in $(seq {n}); do curl -s --max-time 10 -o /dev/null -w '%{{time_total}}\\n' '{url}'; done"]


class Host:
    """What the host's main thread does while the clients run. `factorial_n` sizes the one long
    C call of `c_call`."""

    def __init__(self, factorial_n):
        self.factorial_n = factorial_n

    def idle(self, proc):
        proc.wait(120)

    def python(self, proc):
        n = 0
        while proc.poll() is None:
            for _ in range(1000):
                n += 1

    def c_call(self, proc):
        # One C call that holds the GIL for about two seconds, repeated until the client ends.
        while proc.poll() is None:
            math.factorial(self.factorial_n)


ACTIVITIES = ("idle", "python", "c_call")


def calibrate_factorial(target=2.0):
    """The n whose factorial takes the host's main thread roughly `target` seconds or more."""
    n = 20000
    while True:
        t = time.perf_counter()
        math.factorial(n)
        if time.perf_counter() - t > target / 4:
            break
        n *= 2
    return n * 3


def under(host, activity, cmd):
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
    time.sleep(0.02)  # the client is on its way before the host starts its work
    getattr(host, activity)(proc)
    return proc.communicate(timeout=120)[0]


def loop_rate(seconds=0.5):
    n, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            n += 1
    return n / seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=200)
    args = ap.parse_args()
    asset = scratch_asset("lumo_stage_bench.mp4", args.size_mib)
    host = Host(calibrate_factorial())
    result = {"asset_mib": args.size_mib}

    serve_times = []
    for _ in range(20):
        st = bridge.BridgeState(str(asset), "video", {"fps": 24})
        t = time.perf_counter()
        server, port = bridge.serve(st, "http://127.0.0.1:1")
        serve_times.append((time.perf_counter() - t) * 1000)
        st.done.set()
    result["serve_ms_median"] = round(statistics.median(serve_times), 3)

    state = bridge.BridgeState(str(asset), "video", {"fps": 24, "frames": 48})
    server, port = bridge.serve(state, "http://127.0.0.1:1")
    asset_url = f"http://127.0.0.1:{port}/asset?token={state.token}"
    meta_url = f"http://127.0.0.1:{port}/meta?token={state.token}"

    ceiling = subprocess.Popen([str(CEILING), str(asset)], stdout=subprocess.PIPE, text=True)
    ceiling_url = f"http://127.0.0.1:{ceiling.stdout.readline().strip()}/"
    try:
        for activity in ACTIVITIES:
            result[f"asset_mib_s_{activity}"] = round(rate(under(host, activity, curl_cmd(asset_url))), 1)
            times = [float(x) * 1000 for x in under(host, activity, meta_script(meta_url, 20)).split()]
            result[f"meta_ms_median_{activity}"] = round(statistics.median(times), 3)
            result[f"meta_ms_max_{activity}"] = round(max(times), 3)
            result[f"ceiling_mib_s_{activity}"] = round(rate(under(host, activity, curl_cmd(ceiling_url))), 1)
        for activity in ACTIVITIES:
            result[f"asset_share_of_ceiling_{activity}"] = round(
                result[f"asset_mib_s_{activity}"] / result[f"ceiling_mib_s_{activity}"], 3)

        result["host_loop_per_s_idle"] = round(loop_rate())
        clients = [subprocess.Popen(curl_cmd(asset_url), stdout=subprocess.PIPE, text=True) for _ in range(2)]
        result["host_loop_per_s_two_transfers"] = round(loop_rate())
        for c in clients:
            c.communicate(timeout=120)
    finally:
        ceiling.kill()

    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(f"POST /done?token={state.token} HTTP/1.0\r\n\r\n".encode())
        while s.recv(65536):
            pass
    answered = time.perf_counter()
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        except OSError:
            break
        if time.perf_counter() - answered > 5:
            break
    result["close_ms_after_done"] = round((time.perf_counter() - answered) * 1000, 3)
    asset.unlink()
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
