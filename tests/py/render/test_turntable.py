"""render_turntable against the fake host: the camera it makes and keys, the render inside the
scene guard, the surroundings hidden from it, and the scene and the host's data as they were on
every way out."""

import math
import types

import pytest

from fakebpy import write_video
from fakebpy.objects import add_marker, add_mesh, add_objects, data_names, render_visibility


@pytest.fixture
def host(fake):
    """The fake with objects: an L of a bar and its tower (a child), away from the origin; a
    crate beside it, a box the user hid from renders, and a background scene."""
    add_objects(fake)
    bar = add_mesh(fake, "Bar", (0, -0.5, 0), (4, 0.5, 1), location=(3, 2, 0.5))
    add_mesh(fake, "Tower", (6, 1.5, 1.5), (7, 2.5, 3.5), parent=bar)  # world coordinates
    add_mesh(fake, "Crate", (-1, -1, 0), (1, 1, 2))
    object.__setattr__(add_mesh(fake, "Hidden", (0, 0, 0), (1, 1, 1)), "hide_render", True)
    fake.context.scene.background_set = types.SimpleNamespace(name="Set")
    fake.log.clear()
    return fake


def rig_of(fake):
    """The camera object the render made (the one created by objects.new)."""
    made = [kw["name"] for name, kw in fake.calls("objects.new")]
    assert len(made) == 1
    return made[0]


def test_one_keyed_turn_through_its_own_camera_then_everything_removed(render, host,
                                                                       tmpdir_files):
    scene = host.context.scene
    scene.frame_current = 37
    user_camera = scene.objects.get("Camera")
    marker = add_marker(host, "cut", 40, user_camera)
    before, data_before = scene.snapshot(), data_names(host)
    seen = {}

    def during(kwargs, s):
        cam = s.camera
        seen.update(camera=cam, range=(s.frame_start, s.frame_end), marker=marker.camera,
                    keys=list(cam.animation_data.action.keys), lens=cam.data.lens,
                    clip=(cam.data.clip_start, cam.data.clip_end), linked=scene.objects.get(cam.name))
        write_video("0037-0084.mp4")(kwargs, s)

    host.on_render = during
    path, meta = render.render_turntable(scene, "Bar", 320, 16, 9, 2)
    assert list(meta.items()) == [("width", 320), ("height", 180), ("fps", 24), ("frames", 48),
                                  ("duration", 2.0), ("truncated", False), ("object", "Bar")]
    assert path.endswith("0037-0084.mp4")
    assert host.calls("render.render") == [("render.render", {"animation": True})]
    # The turn starts at the frame the user is on; every frame is keyed, so no interpolation
    # setting of the host plays a part.
    assert seen["range"] == (37, 84) and seen["linked"] is seen["camera"]
    # A marker that would switch to the user's camera at frame 40 is unbound meanwhile.
    assert seen["marker"] is None and marker.camera is user_camera
    keys = seen["keys"]
    assert [(p, f) for p, f, _ in keys] == [(p, f) for f in range(37, 85)
                                           for p in ("location", "rotation_euler")]
    # It goes round the centre of the bar and its tower, (5, 2, 2), at 20 degrees.
    places = [v for p, _, v in keys if p == "location"]
    centre = [sum(v[i] for v in places) / len(places) for i in range(2)]
    assert centre == pytest.approx([5, 2], abs=1e-9)
    for x, y, z in places:
        ring = math.hypot(x - 5, y - 2)
        assert math.degrees(math.atan2(z - 2, ring)) == pytest.approx(20)
    assert places[0][0] == pytest.approx(5) and places[0][1] < 2  # starts in front
    near, far = seen["clip"]
    assert seen["lens"] == 50 and 0 < near < ring - 3 and far > ring + 3
    # Afterwards: the user's settings, no camera, camera data or action left, the L untouched.
    assert scene.snapshot() == before and data_names(host) == data_before
    assert not [k for k, _ in host.writes("object.Bar")] + [k for k, _ in host.writes("object.Tower")]
    assert host.calls("frame_set") == []


@pytest.mark.parametrize("failure", [
    ("call:render.render", RuntimeError("injected")),
    ("call:render.render", KeyboardInterrupt()),
    ("call:keyframe_insert", RuntimeError("injected"), 7),  # half way through the keys
    ("call:link", RuntimeError("injected")),
    ("marker.cut.camera", RuntimeError("injected")),  # unbinding the marker
    ("camera.Tavro 转台相机.clip_end", ValueError("injected")),
    ("object.Crate.hide_render", RuntimeError("injected")),  # hiding the surroundings
])
def test_any_failure_leaves_the_scene_and_the_data_as_they_were(render, host, tmpdir_files,
                                                                failure):
    scene = host.context.scene
    marker = add_marker(host, "cut", 12, scene.objects.get("Camera"))
    before, data_before, shown = scene.snapshot(), data_names(host), render_visibility(host)
    host.fail_on(*failure)
    with pytest.raises(type(failure[1])):
        render.render_turntable(scene, "Bar", 64, 1, 1, 1)
    assert scene.snapshot() == before and data_names(host) == data_before
    assert marker.camera is scene.objects.get("Camera") and render_visibility(host) == shown


@pytest.mark.parametrize("include_others", [False, True])
def test_the_surroundings_are_hidden_for_the_render_unless_asked_for(render, host, tmpdir_files,
                                                                      include_others):
    before = render_visibility(host)
    seen = []

    def during(kwargs, s):
        hidden, background = render_visibility(host)
        seen.append(({name: hidden[name] for name in before[0]}, background))
        write_video(".mp4")(kwargs, s)

    host.on_render = during
    render.render_turntable(host.context.scene, "Bar", 64, 16, 9, 1, include_others)
    # The crate and the background scene go; the L, the light, the camera and what the user hid
    # already are left as they are.
    assert seen == [before if include_others else (dict(before[0], Crate=True), None)]
    assert render_visibility(host) == before
    assert [k for k, _ in host.writes() if k.endswith(".hide_render")] == (
        [] if include_others else ["object.Crate.hide_render"] * 2)


def test_a_value_the_host_refuses_to_take_back_keeps_no_other_from_coming_back(render, host,
                                                                                tmpdir_files):
    scene = host.context.scene
    marker = add_marker(host, "cut", 12, scene.objects.get("Camera"))
    data_before, shown = data_names(host), render_visibility(host)
    host.on_render = write_video(".mp4")
    host.fail_on("marker.cut.camera", RuntimeError("refused"), nth=2)  # binding it again
    with pytest.raises(RuntimeError, match="^refused$"):
        render.render_turntable(scene, "Bar", 64, 1, 1, 1)
    assert render_visibility(host) == shown and data_names(host) == data_before
    assert marker.camera is None


@pytest.mark.parametrize("target, message", [
    ("", "请先选择要展示的对象"),
    ("Nowhere", "找不到对象：Nowhere"),
    ("Light", "对象没有可渲染的几何体：Light"),
    ("Camera", "对象没有可渲染的几何体：Camera"),
    ("Point", "对象没有可渲染的几何体：Point"),  # a mesh with no extent
])
def test_target_errors_come_before_any_file_or_change(render, host, tmpdir_files, target,
                                                      message):
    add_mesh(host, "Point", (1, 1, 1), (1, 1, 1))
    host.log.clear()
    with pytest.raises(ValueError) as got:
        render.render_turntable(host.context.scene, target, 64, 16, 9, 6)
    assert str(got.value) == message
    assert list(tmpdir_files.iterdir()) == [] and host.writes() == []
    assert [name for name, _ in host.calls()] == []


@pytest.mark.parametrize("seconds, frames, truncated", [(31, 720, True), (10**15, 720, True),
                                                         (1, 24, False)])
def test_duration_is_capped_and_one_turn_fills_it(render, host, tmpdir_files, seconds, frames,
                                                  truncated):
    host.on_render = write_video(".mp4")
    _, meta = render.render_turntable(host.context.scene, "Bar", 64, 16, 9, seconds)
    assert (meta["frames"], meta["truncated"]) == (frames, truncated)
    assert meta["duration"] == frames / 24
    keyed = [kw["frame"] for _, kw in host.calls("keyframe_insert")]
    assert keyed[0] == 1 and keyed[-1] == frames


def test_duration_must_be_positive(render, host, tmpdir_files):
    with pytest.raises(ValueError, match="^转台时长必须为正$"):
        render.render_turntable(host.context.scene, "Bar", 64, 16, 9, 0)
    assert host.log == []
