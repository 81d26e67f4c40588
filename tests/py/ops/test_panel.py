"""draw_panel: what each source draws, the duration estimate, and the wrapped status."""

import types

import pytest

from ops_fakes import Layout, Props, context, obj, scene
from tavro_blender_uploader import config

ALIGNED = {"align": True}
BUTTON = [("separator",), ("operator", "lumo.send_to_canvas", {"icon": "EXPORT"})]


def draw(ops, props, active=None):
    panel = types.SimpleNamespace(layout=Layout())
    assert ops.draw_panel(panel, context(scene(props), active)) is None
    return panel.layout


def render_box(*extra):
    return ("box", {}, [
        ("prop", "camera", {"text": "相机"}),
        ("row", ALIGNED, [("prop", "resolution", {"text": ""}), ("prop", "aspect", {"text": ""})]),
        *extra,
    ])


def test_video_source(ops_module):
    props = Props(source="VIDEO")
    layout = draw(ops_module, props)
    assert layout.tree() == [
        ("prop", "source", {"text": ""}),
        ("box", {}, [("prop", "video_path", {"text": "文件"}),
                     ("label", {"text": "将统一转为 24 fps H.264", "icon": "INFO"})]),
        *BUTTON,
    ]
    drawn = layout.items + layout.items[1].items
    assert all(it[3] is props for it in drawn if not isinstance(it, Layout) and it[0] == "prop")
    assert props.writes == []


def test_snapshot_and_unknown_sources_draw_the_render_settings(ops_module):
    for source in ("SNAPSHOT", "OTHER"):
        assert draw(ops_module, Props(source=source)).tree() == [
            ("prop", "source", {"text": ""}), render_box(), *BUTTON]


@pytest.mark.parametrize("start, end, text, icon", [
    (1, 720, "约 30.0 秒（上限 30 秒）", "TIME"),
    (1, 721, "约 30.0 秒（上限 30 秒）", "ERROR"),
    (10, 1, "约 0.4 秒（上限 30 秒）", "TIME"),
    (5, 5, "约 0.0 秒（上限 30 秒）", "TIME"),
    (-100, 2000, "约 87.5 秒（上限 30 秒）", "ERROR"),
])
def test_animation_duration_estimate(ops_module, start, end, text, icon):
    props = Props(source="ANIMATION", frame_start=start, frame_end=end)
    assert draw(ops_module, props).tree() == [
        ("prop", "source", {"text": ""}),
        render_box(("row", ALIGNED, [("prop", "frame_start", {"text": "起始"}),
                                     ("prop", "frame_end", {"text": "结束"})]),
                   ("label", {"text": text, "icon": icon})),
        *BUTTON,
    ]


def test_duration_uses_the_configured_rate_and_limit(ops_module, monkeypatch):
    monkeypatch.setattr(config, "VIDEO_FPS", 30)
    monkeypatch.setattr(config, "MAX_VIDEO_SECONDS", 10.5)
    label = draw(ops_module, Props(source="ANIMATION", frame_start=1, frame_end=315)).items[1].items[-1]
    assert label == ("label", {"text": "约 10.5 秒（上限 10 秒）", "icon": "TIME"})
    label = draw(ops_module, Props(source="ANIMATION", frame_start=1, frame_end=316)).items[1].items[-1]
    assert label[1]["icon"] == "ERROR"


@pytest.mark.parametrize("target, active, hint", [
    ("Tower", obj("Cube", "MESH"), []),
    ("", obj("Cube", "MESH"), [("label", {"text": "默认用活动对象：Cube", "icon": "OBJECT_DATA"})]),
    ("", None, [("label", {"text": "未选择对象，也没有活动对象", "icon": "ERROR"})]),
])
def test_turntable_shows_the_object_the_size_and_the_duration(ops_module, target, active, hint):
    props = Props(source="TURNTABLE", target=target, turntable_seconds=31)
    assert draw(ops_module, props, active).tree() == [
        ("prop", "source", {"text": ""}),
        ("box", {}, [
            ("prop", "target", {"text": "对象"}), *hint,
            ("prop", "turntable_others", {"text": "包含场景中的其他对象"}),
            ("row", ALIGNED, [("prop", "resolution", {"text": ""}),
                              ("prop", "aspect", {"text": ""})]),
            ("prop", "turntable_seconds", {"text": "时长（秒）"}),
            ("label", {"text": "约 31.0 秒（上限 30 秒）", "icon": "ERROR"})]),
        *BUTTON,
    ]
    assert props.writes == []


def test_status_is_wrapped_into_labels_of_34(ops_module):
    status = "请手动打开：https://canvas.example.com/import/blender#port=1"
    assert len(status) > 34
    layout = draw(ops_module, Props(status=status))
    assert layout.tree()[2:] == BUTTON + [
        ("separator",),
        ("column", ALIGNED, [("label", {"text": status[:34]}), ("label", {"text": status[34:]})]),
    ]
    status40 = "状" * 40
    column = draw(ops_module, Props(status=status40)).items[-1]
    assert [len(it[1]["text"]) for it in column.items] == [34, 6]


def test_missing_properties_end_the_drawing(ops_module):
    with pytest.raises(AttributeError):
        ops_module.draw_panel(types.SimpleNamespace(layout=Layout()),
                              types.SimpleNamespace(scene=object()))
