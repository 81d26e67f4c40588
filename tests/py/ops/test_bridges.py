"""The bridges a session started, as the panel shows them: each phase from the bridge's own
counters, the rows and their buttons, the timer that follows live bridges, the actions of the
buttons, closing them all; and the render progress handler around animation and video renders."""

import socket
import types

import pytest

from ops_fakes import (Layout, Operator, Props, Server, context, fragment, scene, sparse_file,
                       window)
from tavro_blender_uploader import bridge as real_bridge

MB = 1048576


class Bridge:
    """A bridge module whose servers are fakes with counters the test sets."""

    def __init__(self):
        self.servers = []

    def BridgeState(self, path, kind, meta):
        return types.SimpleNamespace(token=f"tok{len(self.servers)}", expired=lambda: False)

    def serve(self, state, site):
        self.servers.append(Server())
        return self.servers[-1], 41000 + len(self.servers)


@pytest.fixture
def fake_bridge(ops_module, monkeypatch):
    b = Bridge()
    monkeypatch.setattr(ops_module, "bridge", b)
    return b


def send(ops, fakes, tmp_path, name="lumo_stage_a.png", size=10):
    """One send of a produced file; an .mp4 comes from an animation."""
    fakes.render.path = sparse_file(tmp_path / name, size)
    source = "ANIMATION" if name.endswith(".mp4") else "SNAPSHOT"
    result = ops.execute_send(Operator(), context(scene(Props(source=source))))
    assert result == {"FINISHED"}
    return fakes.render.path


def phases(ops):
    return [(row[3], row[4]) for row in ops._bridge_rows()]


def test_each_phase_in_words(ops_module, fakes, fake_bridge, tmp_path):
    send(ops_module, fakes, tmp_path)
    (server,) = fake_bridge.servers
    entry = ops_module._bridges[0]
    steps = [
        ({}, ("waiting", "等待网页连接")),
        ({"meta_requests": 1}, ("connected", "网页已连接")),
        ({"asset_requests": 1, "asset_size": 40 * MB, "asset_bytes": 18 * MB},
         ("transferring", "已传输 45%（共 40.0 MB）")),
        # A retry after a complete first transfer: only the running answer counts.
        ({"asset_requests": 2, "asset_bytes": 50 * MB}, ("transferring", "已传输 25%（共 40.0 MB）")),
        ({"asset_bytes": 80 * MB}, ("uploading", "已交给网页，等待网页完成导入")),
        ({"done": True, "closed": True}, ("imported", "已导入，本地服务已关闭")),
    ]
    for counts, expected in steps:
        server.counts.update(counts)
        assert phases(ops_module) == [expected]
    assert ops_module._bridge_rows()[0][:3] == (entry.id, "lumo_stage_a.png", "图片")

    send(ops_module, fakes, tmp_path, "lumo_stage_b.mp4")
    fake_bridge.servers[1].counts["closed"] = True  # closed without /done: its time ran out
    send(ops_module, fakes, tmp_path, "lumo_stage_c.mp4")
    ops_module._bridges[0].state.expired = lambda: True  # expired, the port not yet closed
    assert phases(ops_module)[:2] == [("expired", "已过期，本地服务已关闭")] * 2
    assert [row[5] for row in ops_module._bridge_rows()] == [False, False, False]


def test_panel_shows_the_newest_three_with_their_buttons(ops_module, fakes, fake_bridge, tmp_path):
    for i in range(4):
        send(ops_module, fakes, tmp_path, f"lumo_stage_{i}.{'png' if i % 2 else 'mp4'}")
    fake_bridge.servers[2].counts.update(done=True, closed=True)
    layout = Layout()
    ops_module.draw_panel(types.SimpleNamespace(layout=layout), context(scene(Props())))
    boxes = [it for it in layout.items if isinstance(it, Layout) and it.kind == "box"][1:]
    assert len(boxes) == 3  # four bridges, the newest three shown
    rows = [box.tree()[0] for box in boxes]
    ids = [e.id for e in ops_module._bridges[:3]]

    def bridge(bridge_id, title, kind_icon, state, state_icon, alive):
        head = ("row", {"align": True}, [
            ("label", {"text": title, "icon": kind_icon}),
            ("operator", "lumo.show_asset_file", {"text": "", "icon": "FILEBROWSER"},
             {"bridge": bridge_id})])
        buttons = [("row", {"align": True}, [
            ("operator", "lumo.open_import_page", {"text": "打开导入页", "icon": "URL"},
             {"bridge": bridge_id}),
            ("operator", "lumo.stop_bridge", {"text": "停止", "icon": "CANCEL"},
             {"bridge": bridge_id})])] if alive else []
        return ("column", {"align": True},
                [head, ("label", {"text": state, "icon": state_icon}), *buttons])

    assert rows == [
        bridge(ids[0], "图片 · lumo_stage_3.png", "IMAGE_DATA", "等待网页连接", "TIME", True),
        bridge(ids[1], "视频 · lumo_stage_2.mp4", "FILE_MOVIE", "已导入，本地服务已关闭", "CHECKMARK",
               False),
        bridge(ids[2], "图片 · lumo_stage_1.png", "IMAGE_DATA", "等待网页连接", "TIME", True),
    ]


def test_finished_bridges_beyond_the_shown_ones_are_forgotten(ops_module, fakes, fake_bridge,
                                                              tmp_path):
    for i in range(5):
        send(ops_module, fakes, tmp_path, f"lumo_stage_{i}.png")
        if i != 1:
            fake_bridge.servers[-1].counts.update(done=True, closed=True)
    send(ops_module, fakes, tmp_path, "lumo_stage_5.png")
    # The three newest, and the live one behind them, which closing the add-on must still reach.
    assert [e.name for e in ops_module._bridges] == [
        "lumo_stage_5.png", "lumo_stage_4.png", "lumo_stage_3.png", "lumo_stage_1.png"]


def test_timer_runs_only_while_a_bridge_lives(ops_module, fakes, fake_bridge, tmp_path):
    timers = fakes.host.app.timers
    wm = fakes.host.context.window_manager
    wm.windows = [window("VIEW_3D", "PROPERTIES"), window("VIEW_3D")]
    sidebars = [area.regions[1] for w in wm.windows for area in w.screen.areas]
    assert not timers.registered
    send(ops_module, fakes, tmp_path)
    send(ops_module, fakes, tmp_path)
    assert timers.registered == {ops_module._tick: (0.25, True)}  # once, surviving file loads

    assert ops_module._tick() == 0.25
    assert [r.redraws for r in sidebars] == [1, 0, 1]  # the 3D views' sidebars only
    assert ops_module._tick() == 0.25
    assert [r.redraws for r in sidebars] == [1, 0, 1]  # nothing changed, nothing redrawn
    fake_bridge.servers[0].counts["meta_requests"] = 1
    assert ops_module._tick() == 0.25
    assert [r.redraws for r in sidebars] == [2, 0, 2]
    for server in fake_bridge.servers:
        server.counts.update(done=True, closed=True)
    assert ops_module._tick() is None  # the host drops the timer: nothing runs while idle
    assert [r.redraws for r in sidebars] == [3, 0, 3]  # the final state is shown


def test_stop_open_again_and_close_all_with_real_bridges(ops_module, fakes, tmp_path):
    first = send(ops_module, fakes, tmp_path, "lumo_stage_a.png", 100)
    send(ops_module, fakes, tmp_path, "lumo_stage_b.png", 200)
    newest, oldest = ops_module._bridges
    assert all(isinstance(e.state, real_bridge.BridgeState) for e in (newest, oldest))

    op = Operator()
    op.bridge = oldest.id
    props = Props()
    fakes.browser.opens = False
    assert ops_module.open_import_page(op, context(scene(props))) == {"FINISHED"}
    assert fakes.browser.urls[-1] == oldest.url == fakes.browser.urls[0]
    assert props.writes == [("status", "请手动打开：" + oldest.url)]
    assert op.reports == [({"WARNING"}, "未能自动打开浏览器，地址已显示在面板上")]

    assert ops_module.stop_bridge(op, context()) == {"FINISHED"}
    assert refused(oldest.port)
    assert phases(ops_module)[1] == ("stopped", "已停止，本地服务已关闭")
    assert ops_module.open_import_page(op, context()) == {"CANCELLED"}
    assert op.reports[-1] == ({"WARNING"}, "这个本地服务已关闭，请在 Blender 中重新发送")
    op.bridge = 999
    assert ops_module.stop_bridge(op, context()) == {"CANCELLED"}
    assert op.reports[-1] == ({"ERROR"}, "找不到这个本地服务，请重新发送")

    timers = fakes.host.app.timers
    assert timers.registered
    assert ops_module.stop_all_bridges() is None
    assert refused(newest.port) and ops_module._bridges == [] and not timers.registered
    assert open(first, "rb").read() == bytes(100)  # files are left where they are


@pytest.mark.parametrize("platform, command", [
    ("linux", ["xdg-open", "{dir}"]),
    ("win32", ["explorer", "/select,", "{path}"]),
    ("darwin", ["open", "-R", "{path}"]),
])
def test_show_asset_file_in_the_file_manager(ops_module, fakes, fake_bridge, tmp_path, monkeypatch,
                                            platform, command):
    path = send(ops_module, fakes, tmp_path)
    launched = []
    system = types.SimpleNamespace(DEVNULL=-3, Popen=lambda cmd, **kw: launched.append((cmd, kw)))
    monkeypatch.setattr(ops_module, "subprocess", system)
    monkeypatch.setattr(ops_module, "sys", types.SimpleNamespace(platform=platform))
    op = Operator()
    op.bridge = ops_module._bridges[0].id
    assert ops_module.show_asset_file(op, context()) == {"FINISHED"}
    quiet = {"stdin": -3, "stdout": -3, "stderr": -3}  # nothing lands in the host's console
    assert launched == [(tuple(c.format(dir=str(tmp_path), path=path) for c in command), quiet)]
    assert op.reports == [({"INFO"}, "素材文件：" + path)]


def test_show_asset_file_when_it_cannot(ops_module, fakes, fake_bridge, tmp_path, monkeypatch):
    path = send(ops_module, fakes, tmp_path)
    op = Operator()
    op.bridge = ops_module._bridges[0].id

    def no_file_manager(cmd, **kw):
        raise FileNotFoundError(2, "No such file or directory", cmd[0])

    monkeypatch.setattr(ops_module, "subprocess",
                        types.SimpleNamespace(DEVNULL=-3, Popen=no_file_manager))
    assert ops_module.show_asset_file(op, context()) == {"FINISHED"}
    assert op.reports == [({"WARNING"}, "无法打开文件管理器，素材文件在：" + path)]
    (tmp_path / "lumo_stage_a.png").unlink()
    assert ops_module.show_asset_file(op, context()) == {"CANCELLED"}
    assert op.reports[-1] == ({"ERROR"}, "素材文件已不存在：" + path)


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    except OSError:
        return True
    return False


# ---- render progress ----------------------------------------------------------------------------


def frame(start, end, current):
    return types.SimpleNamespace(frame_start=start, frame_end=end, frame_current=current)


@pytest.mark.parametrize("source, call", [("ANIMATION", "render_animation"),
                                          ("VIDEO", "transcode_local_video"),
                                          ("TURNTABLE", "render_turntable")])
def test_progress_follows_the_written_frames(ops_module, fakes, source, call):
    handlers = fakes.host.app.handlers.render_write
    wm = fakes.host.context.window_manager
    seen = []

    def render(*args):
        seen.append(list(handlers))
        (handler,) = handlers
        for current in (11, 12, 13):  # the render's own scene, range 11-13
            handler(frame(11, 13, current), None)
        return "/tmp/lumo_stage_v.mp4", {}

    setattr(fakes.render, call, render)
    props = Props(source=source, video_path="/clips/a.mov", target="Cube")
    ops_module._produce(None, scene(props), props)
    assert len(seen[0]) == 1 and handlers == []
    assert wm.progress == [("begin", 0, 3), ("update", 1), ("update", 2), ("update", 3), ("end",)]


@pytest.mark.parametrize("error", [RuntimeError("渲染没有生成文件"), KeyboardInterrupt()])
def test_progress_handler_is_removed_when_the_render_fails(ops_module, fakes, error):
    handlers = fakes.host.app.handlers.render_write
    wm = fakes.host.context.window_manager
    unrelated = lambda *a: None  # noqa: E731 - another add-on's handler stays
    handlers.append(unrelated)

    def render(*args):
        handlers[-1](frame(1, 48, 1))
        handlers[-1](None)  # a call without a scene changes nothing
        raise error

    fakes.render.render_animation = render
    props = Props(source="ANIMATION")
    with pytest.raises(type(error)) as got:
        ops_module._produce(None, scene(props), props)
    assert got.value is error
    assert handlers == [unrelated]
    assert wm.progress == [("begin", 0, 48), ("update", 1), ("end",)]


def test_progress_that_fails_does_not_stop_the_render(ops_module, fakes):
    handlers = fakes.host.app.handlers.render_write
    fakes.host.context.window_manager = object()  # no progress calls at all

    def render(*args):
        handlers[-1](frame(1, 2, 1))
        return "/tmp/lumo_stage_v.mp4", {}

    fakes.render.render_animation = render
    props = Props(source="ANIMATION")
    assert ops_module._produce(None, scene(props), props)[1] == "video"
    assert handlers == []


@pytest.mark.parametrize("tamper, error", [
    (dict.clear, None),  # the frame is not shown, the render goes on
    (lambda record: record.update(wm=None, total="x"), TypeError),  # the clean-up cannot read it
])
def test_a_handler_whose_record_python_code_changed_fails_cleanly(ops_module, fakes, tamper, error):
    handlers = fakes.host.app.handlers.render_write

    def render(*args):
        tamper(handlers[-1].__self__)  # the record is reachable from Python
        handlers[-1](frame(1, 2, 1))
        return "/tmp/lumo_stage_v.mp4", {}

    fakes.render.render_animation = render
    props = Props(source="ANIMATION")
    if error is None:
        assert ops_module._produce(None, scene(props), props)[1] == "video"
    else:
        with pytest.raises(error):
            ops_module._produce(None, scene(props), props)
    assert handlers == []


def test_snapshot_registers_no_handler(ops_module, fakes):
    props = Props(source="SNAPSHOT")
    ops_module._produce(None, scene(props), props)
    assert fakes.host.app.handlers.render_write == []
    assert fakes.host.context.window_manager.progress == []
