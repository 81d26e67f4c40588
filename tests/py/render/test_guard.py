"""Scene guard and the two apply functions against the recording fake host."""

import pytest

import fakebpy
from fakebpy import write_still, write_video


def change_everything(scene):
    r = scene.render
    r.engine, r.resolution_x, r.resolution_y, r.resolution_percentage = "X", 3, 5, 7
    r.fps, r.fps_base, r.filepath, r.film_transparent = 60, 1.001, "/elsewhere/", True
    if hasattr(r, "use_sequencer"):
        r.use_sequencer = False
    r.image_settings.file_format = "FFMPEG"
    if hasattr(r.image_settings, "media_type"):
        r.image_settings.media_type = "VIDEO"
    if hasattr(r, "ffmpeg"):
        f = r.ffmpeg
        f.format, f.codec, f.audio_codec = "MKV", "AV1", "MP3"
        f.constant_rate_factor, f.ffmpeg_preset, f.gopsize = "LOW", "BEST", 5
        f.use_max_b_frames, f.max_b_frames = True, 7
    r.image_settings.color_mode = "BW"
    scene.frame_start, scene.frame_end, scene.camera = 9, 99, fakebpy.Obj("Other")


def restore_order(render, fake):
    """The guard's table of settings, without those this fake host does not have."""
    r = fake.context.scene.render
    present = {"image_settings.media_type": hasattr(r.image_settings, "media_type"),
               "render.use_sequencer": hasattr(r, "use_sequencer")}
    return [k for k in render._GUARDED_SETTINGS
            if present.get(k, True) and (hasattr(r, "ffmpeg") or not k.startswith("ffmpeg."))]


def test_table_orders_media_type_before_file_format(render):
    table = list(render._GUARDED_SETTINGS)
    assert len(set(table)) == len(table)
    assert table.index("image_settings.media_type") < table.index("image_settings.file_format")


@pytest.mark.parametrize("media_type", [True, False])
@pytest.mark.parametrize("ffmpeg", [True, False])
@pytest.mark.parametrize("use_sequencer", [True, False])
def test_restore_writes_every_backed_up_setting_in_table_order(render, make_fake, media_type,
                                                               ffmpeg, use_sequencer):
    fake = make_fake(media_type=media_type, ffmpeg=ffmpeg, use_sequencer=use_sequencer)
    scene = fake.context.scene
    before = scene.snapshot()
    with render._scene_guard(scene):
        change_everything(scene)
        fake.log.clear()
    assert [k for k, _ in fake.writes()] == restore_order(render, fake)
    assert scene.snapshot() == before
    assert scene.camera is None  # an empty camera comes back empty


@pytest.mark.parametrize("shape", [{}, {"media_type": False, "ffmpeg": False}])
def test_table_holds_every_setting_the_renders_change(render, make_fake, tmpdir_files, shape):
    # Whatever a snapshot or an animation writes to the user's scene is in the guard's table,
    # and is written back.
    fake = make_fake(**shape)
    scene = fake.context.scene
    fake.on_render = lambda kw, sc: (write_still if kw.get("write_still") else
                                     write_video(".mp4"))(kw, sc)
    render.render_snapshot(scene, fakebpy.Obj("Cam"), 640, 16, 9)
    if shape.get("ffmpeg", True):
        render.render_animation(scene, fakebpy.Obj("Cam"), 640, 16, 9, 1, 4)
    changed = {k for k, _ in fake.writes()}
    assert changed <= set(render._GUARDED_SETTINGS)


@pytest.mark.parametrize("exc", [ValueError("host says no"), KeyboardInterrupt()])
def test_error_in_block_passes_unchanged_after_full_restore(render, fake, exc):
    scene = fake.context.scene
    before = scene.snapshot()
    with pytest.raises(type(exc)) as info:
        with render._scene_guard(scene):
            change_everything(scene)
            raise exc
    assert info.value is exc
    assert scene.snapshot() == before


def test_failing_restore_step_ends_restore_and_replaces_block_error(render, fake):
    scene = fake.context.scene
    failure = TypeError("rejected")
    with pytest.raises(TypeError) as info:
        with render._scene_guard(scene):
            change_everything(scene)
            fake.log.clear()
            fake.fail_on("image_settings.file_format", failure, nth=2)
            raise ValueError("block")
    assert info.value is failure
    written = [k for k, _ in fake.writes()]
    order = restore_order(render, fake)
    assert written == order[:order.index("image_settings.file_format")]
    assert scene.frame_start == 9 and scene.render.film_transparent is True  # not restored


def test_guard_is_single_use_and_never_swallows(render, fake):
    guard = render._scene_guard(fake.context.scene)
    with guard:
        pass
    with pytest.raises(RuntimeError):
        guard.__enter__()
    g = render._scene_guard(scene=fake.context.scene)
    g.__enter__()
    assert g.__exit__(ValueError, ValueError("x"), None) is False


def test_unreadable_setting_fails_entry_without_writes(render, fake):
    scene = fake.context.scene
    del scene.render.__dict__["fps_base"]
    ran = []
    with pytest.raises(AttributeError):
        with render._scene_guard(scene):
            ran.append(1)
    assert ran == [] and fake.writes() == []


@pytest.mark.parametrize("media_type", [True, False])
def test_apply_functions_write_exactly_their_settings_in_order(render, make_fake, media_type):
    fake = make_fake(media_type=media_type)
    scene = fake.context.scene
    render._apply_workbench(scene, 1280.9, height=720)
    render._apply_video_output(scene, "/tmp/out")
    expected = [
        ("render.engine", "BLENDER_WORKBENCH"), ("render.resolution_x", 1280),
        ("render.resolution_y", 720), ("render.resolution_percentage", 100),
        ("render.film_transparent", False), ("render.fps", 24), ("render.fps_base", 1.0),
        ("image_settings.media_type", "VIDEO"), ("image_settings.file_format", "FFMPEG"),
        ("ffmpeg.format", "MPEG4"), ("ffmpeg.codec", "H264"), ("ffmpeg.audio_codec", "NONE"),
        ("ffmpeg.constant_rate_factor", "MEDIUM"), ("ffmpeg.ffmpeg_preset", "GOOD"),
        ("ffmpeg.gopsize", 48), ("ffmpeg.use_max_b_frames", True), ("ffmpeg.max_b_frames", 2),
        ("image_settings.color_mode", "RGB"), ("render.filepath", "/tmp/out"),
    ]
    if not media_type:
        expected.remove(("image_settings.media_type", "VIDEO"))
    assert fake.writes() == expected
    assert type(scene.render.fps_base) is float


def test_apply_argument_rules_and_missing_ffmpeg(render, make_fake):
    fake = make_fake(ffmpeg=False)
    scene = fake.context.scene
    with pytest.raises(TypeError, match="height"):
        render._apply_workbench(scene, 10, "720")
    with pytest.raises(TypeError, match="path"):
        render._apply_video_output(scene, None)
    with pytest.raises(AttributeError):
        render._apply_video_output(scene, "/tmp/out")
