"""The helpers and _produce: lookups with their fallbacks, the order of the checks, the render
call each source makes and the asset kind it gives."""

import pytest

from ops_fakes import Props, context, obj, scene
from tavro_blender_uploader import config


def test_aspect_table_and_lookup(ops_module):
    assert ops_module._ASPECTS == (
        ("16:9", "16:9 横屏", 16, 9), ("9:16", "9:16 竖屏", 9, 16), ("1:1", "1:1 方图", 1, 1),
        ("4:3", "4:3", 4, 3), ("21:9", "21:9 宽银幕", 21, 9))
    assert ops_module._aspect_wh("4:3") == (4, 3)
    assert ops_module._aspect_wh(key="9:16") == (9, 16)
    for unknown in ("", None, "3:2", "16:9 横屏", " 4:3", 43):
        assert ops_module._aspect_wh(unknown) == (16, 9)
    with pytest.raises(TypeError):
        ops_module._aspect_wh()


def test_long_edge_reads_the_presets_at_every_call(ops_module, monkeypatch):
    assert ops_module._long_edge("fhd") == 1920
    assert ops_module._long_edge("hd") == 1280
    assert ops_module._long_edge("FHD") == ops_module._long_edge(None) == 1280
    monkeypatch.setattr(config, "RESOLUTION_PRESETS", (("sd", "SD", 640), ("fhd", "F", 1080)))
    assert ops_module._long_edge("fhd") == 1080
    assert ops_module._long_edge("hd") == 640


def test_wrap_cuts_by_code_points(ops_module):
    assert ops_module._wrap("", 34) == [""]
    assert ops_module._wrap("x" * 34, 34) == ["x" * 34]
    assert ops_module._wrap("x" * 35, 34) == ["x" * 34, "x"]
    assert ops_module._wrap("请手动打开：http://a/b", 4) == ["请手动打", "开：ht", "tp:/", "/a/b"]
    assert ops_module._wrap(text="abc", width=2.9) == ["ab", "c"]  # integers truncate
    with pytest.raises(TypeError, match="text must be str"):
        ops_module._wrap(b"abc", 2)
    with pytest.raises(ValueError):
        ops_module._wrap("abc", 0)


def test_source_keys_for_the_registration_layer(ops_module):
    assert ops_module._SOURCES == ("SNAPSHOT", "ANIMATION", "VIDEO", "TURNTABLE")


@pytest.mark.parametrize("source, reads, call, kind", [
    ("VIDEO", ["resolution", "aspect", "source", "video_path"], "transcode_local_video", "video"),
    ("SNAPSHOT", ["resolution", "aspect", "source", "camera", "source"], "render_snapshot", "image"),
    ("ANIMATION", ["resolution", "aspect", "source", "camera", "source", "frame_start", "frame_end"],
     "render_animation", "video"),
    ("SOMETHING", ["resolution", "aspect", "source", "camera", "source", "frame_start", "frame_end"],
     "render_animation", "video"),
    ("TURNTABLE", ["resolution", "aspect", "source", "target", "turntable_seconds",
                   "turntable_others"],
     "render_turntable", "video"),
])
def test_each_source_reads_only_what_it_needs(ops_module, fakes, source, reads, call, kind):
    props = Props(source=source, video_path="/clips/a.mov", resolution="fhd", aspect="9:16",
                  frame_start=30, frame_end=5, target="Tower", turntable_seconds=12,
                  turntable_others=True)
    sc = scene(props)
    fakes.render.meta = meta = {"width": 1080}
    path, got_kind, got_meta = ops_module._produce(context(sc), sc, props)
    assert (path, got_kind) == (fakes.render.path, kind)
    assert got_meta is meta  # handed on, not copied
    assert props.reads == reads and props.writes == []
    cam = sc.objects._by_name["Camera"]
    expected = {
        "transcode_local_video": ("/clips/a.mov", 1920),
        "render_snapshot": (sc, cam, 1920, 9, 16),
        "render_animation": (sc, cam, 1920, 9, 16, 30, 5),  # the range passes on unordered
        "render_turntable": (sc, "Tower", 1920, 9, 16, 12, True),  # by name: the render looks it up
    }[call]
    assert fakes.render.calls == [(call, expected)]


@pytest.mark.parametrize("active, name", [(obj("Cube", "MESH"), "Cube"), (None, "")])
def test_turntable_without_a_chosen_object_takes_the_active_one(ops_module, fakes, active, name):
    props = Props(source="TURNTABLE", target="", camera="")
    sc = scene(props)
    ops_module._produce(context(sc, active), sc, props)
    # No active object either: the render reports that nothing is chosen.
    assert fakes.render.calls == [("render_turntable", (sc, name, 1280, 16, 9, 6, False))]


def test_video_path_is_made_absolute_and_needs_no_camera(ops_module, fakes):
    props = Props(source="VIDEO", video_path="//clips/a.mov", camera="")
    sc = scene(props, objects=[])
    ops_module._produce(None, sc, props)
    assert fakes.render.calls == [("transcode_local_video", ("/projects/shot/clips/a.mov", 1280))]


@pytest.mark.parametrize("video_path", ["", None])
def test_video_without_a_file(ops_module, fakes, video_path):
    props = Props(source="VIDEO", video_path=video_path, camera="Camera")
    with pytest.raises(ValueError, match="^请先选择一个视频文件$"):
        ops_module._produce(None, scene(props), props)
    assert fakes.render.calls == []


@pytest.mark.parametrize("source", ["SNAPSHOT", "ANIMATION"])
@pytest.mark.parametrize("camera", ["", "Cube", "Nowhere"])
def test_render_without_a_usable_camera(ops_module, fakes, source, camera):
    props = Props(source=source, camera=camera, video_path="/never/read.mov")
    sc = scene(props)
    with pytest.raises(ValueError, match="^请先在场景中选择一台相机$"):
        ops_module._produce(None, sc, props)
    assert fakes.render.calls == []
    assert "video_path" not in props.reads
    assert sc.objects.lookups == ([camera] if camera else [])


def test_render_errors_pass_through_unchanged(ops_module, fakes):
    fakes.render.error = err = RuntimeError("渲染没有生成文件")
    props = Props(source="ANIMATION")
    with pytest.raises(RuntimeError) as got:
        ops_module._produce(None, scene(props), props)
    assert got.value is err

