"""execute_send on every outcome: one report per returning call, the status text only where a
bridge is left running, the size limits at their boundaries, and real bridges serving the
produced file to the token in the URL."""

import types

import pytest

from ops_fakes import Operator, Props, Server, bridge_get, bridge_meta, context, fragment, scene, sparse_file
from tavro_blender_uploader import config

OPENED = "已在浏览器打开导入页，完成后本地服务自动关闭"
READY = ({"INFO"}, "素材已就绪，请在浏览器中完成导入")
NO_BROWSER = ({"WARNING"}, "未能自动打开浏览器，地址已显示在面板上")
MB = 1048576


class Bridge:
    """A bridge module that records what it is given and starts nothing."""

    def __init__(self, error=None):
        self.states, self.error = [], error

    def BridgeState(self, path, kind, meta):
        state = types.SimpleNamespace(path=path, kind=kind, meta=meta, token=f"tok{len(self.states)}")
        self.states.append(state)
        return state

    def serve(self, state, site):
        state.site = site
        if self.error is not None:
            raise self.error
        return Server(), 40000 + len(self.states)


def send(ops, props, **scene_kw):
    op = Operator()
    result = ops.execute_send(op, context(scene(props, **scene_kw)))
    return result, op.reports


def produce(fakes, tmp_path, size, name="lumo_stage_a.png", meta=None):
    fakes.render.path = sparse_file(tmp_path / name, size)
    fakes.render.meta = meta if meta is not None else {"width": 4, "height": 4}
    return fakes.render.path


def test_opened_in_the_browser_the_bridge_serves_the_file(ops_module, fakes, tmp_path, served, capfd):
    path = produce(fakes, tmp_path, 1234, meta={"width": 4, "height": 4, "frame": 1, "camera": "Camera"})
    props = Props(status="之前的状态")
    result, reports = send(ops_module, props)
    assert (result, reports) == ({"FINISHED"}, [READY])
    assert props.writes == [("status", OPENED)]
    [url] = fakes.browser.urls
    port, token, kind = fragment(url)
    served.append((port, token))
    assert url == config.build_import_url(port, token, "image")
    status, meta = bridge_meta(port, token)
    assert status == 200 and meta["kind"] == "image" and meta["size"] == 1234
    assert bridge_get(port, "/asset", token) == (200, open(path, "rb").read())
    assert capfd.readouterr() == ("", "")  # nothing printed, the bridge's log included


def test_browser_not_opened_leaves_the_url_in_the_status(ops_module, fakes, tmp_path, served):
    produce(fakes, tmp_path, 10, "lumo_stage_v.mp4", meta={"truncated": True})
    fakes.browser.opens = False
    props = Props(source="ANIMATION")
    result, reports = send(ops_module, props)
    assert (result, reports) == ({"FINISHED"}, [NO_BROWSER])  # no truncation warning here
    [url] = fakes.browser.urls
    assert props.writes == [("status", "请手动打开：" + url)]
    port, token, kind = fragment(url)
    served.append((port, token))
    assert kind == "video"
    assert bridge_meta(port, token)[0] == 200  # still serving for the user to open by hand


@pytest.mark.parametrize("truncated, expected", [
    (True, ({"WARNING"}, "素材超过 30 秒，已截取前 30 秒")),
    (1, ({"WARNING"}, "素材超过 30 秒，已截取前 30 秒")),
    (False, READY),
    (None, READY),
])
def test_truncation_warning(ops_module, fakes, tmp_path, served, truncated, expected):
    produce(fakes, tmp_path, 10, "lumo_stage_v.mp4", meta={"fps": 24, "truncated": truncated})
    props = Props(source="ANIMATION")
    assert send(ops_module, props) == ({"FINISHED"}, [expected])
    assert props.writes == [("status", OPENED)]
    served.append(fragment(fakes.browser.urls[0])[:2])


def test_truncation_limit_is_written_as_a_whole_number(ops_module, fakes, tmp_path, monkeypatch):
    monkeypatch.setattr(ops_module, "bridge", Bridge())
    monkeypatch.setattr(config, "MAX_VIDEO_SECONDS", 12.9)
    produce(fakes, tmp_path, 10, "lumo_stage_v.mp4", meta={"truncated": True})
    assert send(ops_module, Props(source="ANIMATION"))[1] == [({"WARNING"}, "素材超过 12 秒，已截取前 12 秒")]


@pytest.mark.parametrize("source, name, size, refused", [
    ("SNAPSHOT", "a.png", 20 * MB, None),
    ("SNAPSHOT", "a.png", 20 * MB + 1, "素材 20.0 MB 超过上限 20 MB，请降低分辨率或缩短帧范围"),
    ("SNAPSHOT", "a.png", 31 * MB, "素材 31.0 MB 超过上限 20 MB，请降低分辨率或缩短帧范围"),
    ("ANIMATION", "v.mp4", 200 * MB, None),
    ("ANIMATION", "v.mp4", 200 * MB + 1, "素材 200.0 MB 超过上限 200 MB，请降低分辨率或缩短帧范围"),
    ("VIDEO", "v.mp4", 31 * MB, None),  # a normalised video is measured against the video limit
    ("VIDEO", "v.mp4", int(200.06 * MB), "素材 200.1 MB 超过上限 200 MB，请降低分辨率或缩短帧范围"),
])
def test_size_limits(ops_module, fakes, tmp_path, monkeypatch, source, name, size, refused):
    bridge = Bridge()
    monkeypatch.setattr(ops_module, "bridge", bridge)
    produce(fakes, tmp_path, size, "lumo_stage_" + name)
    props = Props(source=source, video_path="/clips/in.mov")
    result, reports = send(ops_module, props)
    if refused:
        assert (result, reports) == ({"CANCELLED"}, [({"ERROR"}, refused)])
        assert bridge.states == [] and props.writes == []
        assert (tmp_path / ("lumo_stage_" + name)).exists()  # the file stays on disk
    else:
        assert (result, reports) == ({"FINISHED"}, [READY])
        assert [(s.path, s.kind) for s in bridge.states] == [(fakes.render.path, "image" if source == "SNAPSHOT" else "video")]


def test_size_message_formats_limits_that_are_not_whole_megabytes(ops_module, fakes, tmp_path, monkeypatch):
    monkeypatch.setattr(config, "MAX_IMAGE_BYTES", int(1.5 * MB))
    produce(fakes, tmp_path, int(1.56 * MB))
    assert send(ops_module, Props())[1] == [({"ERROR"}, "素材 1.6 MB 超过上限 2 MB，请降低分辨率或缩短帧范围")]


@pytest.mark.parametrize("props, error, message", [
    (Props(camera="Cube"), None, "生成素材失败：请先在场景中选择一台相机"),
    (Props(source="VIDEO", video_path=""), None, "生成素材失败：请先选择一个视频文件"),
    (Props(), RuntimeError("渲染没有生成文件"), "生成素材失败：渲染没有生成文件"),
    (Props(), FileNotFoundError(2, "No such file", "/x.mov"), "生成素材失败：[Errno 2] No such file: '/x.mov'"),
])
def test_production_failures(ops_module, fakes, monkeypatch, props, error, message):
    bridge = Bridge()
    monkeypatch.setattr(ops_module, "bridge", bridge)
    fakes.render.error = error
    props.status = "上一次的状态"
    props.writes.clear()
    assert send(ops_module, props) == ({"CANCELLED"}, [({"ERROR"}, message)])
    assert props.writes == [] and bridge.states == [] and fakes.browser.urls == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_never_caught(ops_module, fakes, exc):
    fakes.render.error = exc()
    op = Operator()
    with pytest.raises(exc):
        ops_module.execute_send(op, context())
    assert op.reports == []


def test_bridge_refusing_the_site_address(ops_module, fakes, tmp_path, monkeypatch):
    produce(fakes, tmp_path, 10)
    monkeypatch.setenv(config.ENV_SITE_URL, "canvas.local/")
    props = Props()
    result, reports = send(ops_module, props)
    assert result == {"CANCELLED"}
    assert reports == [({"ERROR"}, "本地桥接启动失败：站点地址必须是绝对 URL：canvas.local")]
    assert props.writes == [] and fakes.browser.urls == []


@pytest.mark.parametrize("where", ["serve", "site_url"])
def test_bridge_start_failures(ops_module, fakes, tmp_path, monkeypatch, where):
    produce(fakes, tmp_path, 10)
    bridge = Bridge(error=OSError("端口被占用") if where == "serve" else None)
    if where == "site_url":
        monkeypatch.setattr(config, "site_url", lambda: (_ for _ in ()).throw(LookupError("无站点")))
    monkeypatch.setattr(ops_module, "bridge", bridge)
    result, reports = send(ops_module, Props())
    text = {"serve": "端口被占用", "site_url": "无站点"}[where]
    assert (result, reports) == ({"CANCELLED"}, [({"ERROR"}, "本地桥接启动失败：" + text)])
    assert fakes.browser.urls == []


def test_errors_outside_the_guarded_steps_leave_unreported(ops_module, fakes, tmp_path, monkeypatch):
    monkeypatch.setattr(ops_module, "bridge", Bridge())
    fakes.render.path = str(tmp_path / "missing.png")
    op = Operator()
    with pytest.raises(FileNotFoundError):
        ops_module.execute_send(op, context())
    fakes.render.path = sparse_file(tmp_path / "a.png", 1)
    fakes.browser.open = lambda url: (_ for _ in ()).throw(RuntimeError("no display"))
    with pytest.raises(RuntimeError, match="no display"):
        ops_module.execute_send(op, context())
    with pytest.raises(AttributeError):
        ops_module.execute_send(op, types.SimpleNamespace(scene=object()))
    assert op.reports == []


def test_two_sends_leave_two_bridges(ops_module, fakes, tmp_path, served):
    props = Props()
    sc = scene(props)
    for i in range(2):
        produce(fakes, tmp_path, 100 + i, f"lumo_stage_{i}.png")
        fakes.browser.opens = i == 0
        assert ops_module.execute_send(Operator(), context(sc)) == {"FINISHED"}
    jobs = [fragment(u)[:2] for u in fakes.browser.urls]
    served.extend(jobs)
    assert len({p for p, _ in jobs}) == len({t for _, t in jobs}) == 2
    assert [bridge_meta(p, t)[1]["size"] for p, t in jobs] == [100, 101]  # both still serving
    assert props.status == "请手动打开：" + fakes.browser.urls[1]

