"""The panel's live view of each bridge, in every real Blender host: sends through the operator,
a scripted client on 127.0.0.1 fetching as the import page does, and the state the panel shows
at each step (waiting, connected, transferring, handed to the page, imported); a bridge that
expires; the panel's buttons (open the page again, show the file, stop); the render progress
handler around a real animation render; disabling the add-on and quitting Blender closing every
bridge."""

import os
import sys

import pytest

from render_harness import host_params, run_in_host
from test_addon_send import LAUNCHER

HOST = r'''
import atexit, os, socket, time, types, urllib.request
import bpy
import addon_utils  # only importable once bpy is
from host_bridge import launched_urls, refused


def urls():
    return launched_urls(ARGS["urls"])


# Quitting: the add-on's own exit handler runs before this one (registered later, run first), so
# here every bridge must already refuse connections. The report goes out from here.
report = {}
last_bridges = []


def at_exit():
    report["closed_at_exit"] = [refused(port, 2.0) for port in last_bridges]
    emit(report)


atexit.register(at_exit)
addon_utils.enable("tavro_blender_uploader", default_set=True)
from tavro_blender_uploader import config, ops  # noqa: E402

props = bpy.context.scene.lumo_uploader
props.camera, props.resolution, props.aspect = "Camera", "hd", "16:9"


def send(source="SNAPSHOT", **values):
    props.source = source
    for key, value in values.items():
        setattr(props, key, value)
    assert bpy.ops.lumo.send_to_canvas() == {"FINISHED"}
    return ops._bridges[0]


def phase(entry):
    (row,) = [r for r in ops._bridge_rows() if r[0] == entry.id]
    return [row[3], row[4]]


def phase_when(entry, wanted, within=10.0):
    """The entry's phase once it is `wanted` (or the last one seen, after `within` seconds)."""
    deadline = time.monotonic() + within
    while True:
        seen = phase(entry)
        if seen[0] == wanted or time.monotonic() > deadline:
            return seen
        time.sleep(0.05)


def request(entry, method, route):
    req = urllib.request.Request(f"http://127.0.0.1:{entry.port}{route}?token={entry.state.token}",
                                 method=method, data=b"" if method == "POST" else None)
    with urllib.request.urlopen(req, timeout=10) as answer:
        return answer.read()


def timer_on():
    return bpy.app.timers.is_registered(ops._tick)


# One snapshot, followed from the page's first request to its /done.
report["timer_before"] = timer_on()
a = send()
report["a"] = {"name": a.name, "kind_row": ops._bridge_rows()[0][2], "phases": [phase(a)],
               "timer": timer_on(), "tick": ops._tick()}
request(a, "GET", "/meta")
report["a"]["phases"].append(phase_when(a, "connected"))

# A file larger than the socket buffers, so that a reader that pauses holds the transfer midway.
big = os.path.join(os.environ["TMPDIR"], "lumo_stage_large.mp4")
with open(big, "wb") as f:
    f.truncate(64 * 1048576)
real_render = ops.render
ops.render = types.SimpleNamespace(render_animation=lambda *args: (big, {"truncated": False}))
try:
    b = send("ANIMATION")
finally:
    ops.render = real_render
report["b"] = {"phases": [phase(b)]}
reader = socket.create_connection(("127.0.0.1", b.port), timeout=30)
reader.sendall(f"GET /asset?token={b.state.token} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
reader.recv(65536)
report["b"]["phases"].append(phase_when(b, "transferring"))
got = 0
while True:
    chunk = reader.recv(1 << 20)
    if not chunk:
        break
    got += len(chunk)
reader.close()
report["b"]["phases"].append(phase_when(b, "uploading"))
request(b, "POST", "/done")
report["b"]["phases"].append(phase_when(b, "imported"))
report["b"]["refused"] = refused(b.port)
report["b"]["rows_newest_first"] = [r[1] for r in ops._bridge_rows()]

# The panel's buttons on the first bridge: show its file, open its page again, stop it.
report["show"] = sorted(bpy.ops.lumo.show_asset_file(bridge=a.id))
deadline = time.monotonic() + 10
while time.monotonic() < deadline and not (os.path.exists(ARGS["opened"]) and
                                           os.path.getsize(ARGS["opened"]) > 0):
    time.sleep(0.05)
with open(ARGS["opened"], encoding="utf-8") as f:
    report["file_manager_got"] = f.read().splitlines()
report["a_folder"] = os.path.dirname(a.path)
report["reopen"] = sorted(bpy.ops.lumo.open_import_page(bridge=a.id))
report["urls"] = urls()
report["a_url"] = a.url
report["stop"] = sorted(bpy.ops.lumo.stop_bridge(bridge=a.id))
report["a"]["refused"] = refused(a.port)
report["a"]["phases"].append(phase(a))
report["tick_when_none_alive"] = ops._tick()

# A short lifetime: the bridge expires and closes by itself.
config.BRIDGE_TTL_SECONDS = 1
c = send()
config.BRIDGE_TTL_SECONDS = 1800
report["c"] = {"phases": [phase(c), phase_when(c, "expired")], "refused": refused(c.port)}

# A real animation render: the progress handler is in the host's list for each written frame,
# and gone afterwards; so after a send whose production fails.
frames_seen = []


def watch(scene, *args):
    frames_seen.append([scene.frame_current, len(bpy.app.handlers.render_write)])


bpy.app.handlers.render_write.append(watch)
d = send("ANIMATION", frame_start=1, frame_end=6)
report["render"] = {"frames": frames_seen, "after": len(bpy.app.handlers.render_write)}
props.source, props.video_path = "VIDEO", ARGS["not_a_video"]
try:
    bpy.ops.lumo.send_to_canvas()
except RuntimeError:
    pass
report["render"]["after_failure"] = len(bpy.app.handlers.render_write)
bpy.app.handlers.render_write.remove(watch)

# Disabling the add-on closes every bridge it started and stops the panel's timer.
e = send()
ports = [d.port, e.port]
addon_utils.disable("tavro_blender_uploader", default_set=True)
report["disable"] = {"refused": [refused(p) for p in ports], "known": len(ops._bridges),
                     "timer": timer_on()}

# Quitting: two bridges left running when the script ends.
addon_utils.enable("tavro_blender_uploader", default_set=True)
props = bpy.context.scene.lumo_uploader
props.camera = "Camera"
last_bridges[:] = [send().port, send().port]
'''

XDG_OPEN = """#!/bin/sh
printf '%s\\n' "$@" > "{out}"
"""


@pytest.mark.parametrize("host", host_params())
def test_bridges_seen_live_from_send_to_import(host, tmp_path, clips):
    launcher = tmp_path / "launcher.py"
    launcher.write_text(LAUNCHER)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    xdg = bin_dir / "xdg-open"
    xdg.write_text(XDG_OPEN.format(out=tmp_path / "opened.txt"))
    xdg.chmod(0o755)
    stage = tmp_path / "stage"
    stage.mkdir()
    env = {
        "BROWSER": f"{sys.executable} {launcher} {tmp_path / 'urls.txt'} %s 0",
        "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
        "TMPDIR": str(stage),
        "LUMO_SITE_URL": "",
        "DISPLAY": "", "WAYLAND_DISPLAY": "",
    }
    report = run_in_host(host, HOST, env=env, timeout=600, args={
        "urls": str(tmp_path / "urls.txt"), "opened": str(tmp_path / "opened.txt"),
        "not_a_video": clips["not_a_video"]})

    assert report["timer_before"] is False
    a = report["a"]
    assert a["timer"] is True and a["tick"] == 0.25 and a["kind_row"] == "图片"
    assert a["phases"] == [["waiting", "等待网页连接"], ["connected", "网页已连接"],
                           ["stopped", "已停止，本地服务已关闭"]]
    assert a["refused"] and report["stop"] == ["FINISHED"]

    b = report["b"]
    assert b["phases"][0] == ["waiting", "等待网页连接"]
    moving, of = b["phases"][1][1].split("%")
    assert b["phases"][1][0] == "transferring" and moving.startswith("已传输 ")
    assert 0 <= int(moving.split()[-1]) < 100 and of == "（共 64.0 MB）"
    assert b["phases"][2:] == [["uploading", "已交给网页，等待网页完成导入"],
                               ["imported", "已导入，本地服务已关闭"]]
    assert b["refused"]
    assert b["rows_newest_first"] == ["lumo_stage_large.mp4", a["name"]]

    assert report["show"] == ["FINISHED"]
    assert report["file_manager_got"] == [report["a_folder"]]
    assert report["reopen"] == ["FINISHED"]
    assert report["urls"].count(report["a_url"]) == 2  # sent once, opened again once

    assert report["tick_when_none_alive"] is None
    assert report["c"]["phases"] == [["waiting", "等待网页连接"], ["expired", "已过期，本地服务已关闭"]]
    assert report["c"]["refused"]

    render = report["render"]
    assert [frame for frame, _ in render["frames"]] == [1, 2, 3, 4, 5, 6]
    assert {count for _, count in render["frames"]} == {2}  # the test's handler and the add-on's
    assert render["after"] == render["after_failure"] == 1

    assert report["disable"] == {"refused": [True, True], "known": 0, "timer": False}
    assert report["closed_at_exit"] == [True, True]
