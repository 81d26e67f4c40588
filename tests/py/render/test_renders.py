"""Snapshot and animation renders and the FFmpeg output lookup against the fake host."""

import os

import pytest

import fakebpy
from fakebpy import Obj, write_file, write_still, write_video

MISSING = "渲染完成但未找到输出文件，请检查 Blender 的输出设置"


def staged(tmp):
    return sorted(p.name for p in tmp.iterdir())


@pytest.mark.parametrize("media_type", [True, False])
def test_snapshot_sets_still_output_renders_and_restores(render, make_fake, tmpdir_files,
                                                         media_type):
    fake = make_fake(media_type=media_type)
    scene = fake.context.scene
    scene.frame_current = 37
    before = scene.snapshot()
    seen = {}

    def hook(kwargs, s):
        r = s.render
        seen.update(size=(r.resolution_x, r.resolution_y, r.resolution_percentage),
                    camera=s.camera.name, fmt=r.image_settings.file_format)
        write_still(kwargs, s)

    fake.on_render = hook
    path, meta = render.render_snapshot(scene, Obj("Cam.002"), 1920, 9, 16)
    assert list(meta.items()) == [("width", 1080), ("height", 1920), ("frame", 37),
                                  ("camera", "Cam.002")]
    assert seen == {"size": (1080, 1920, 100), "camera": "Cam.002", "fmt": "PNG"}
    assert os.path.dirname(path) == str(tmpdir_files) and path.endswith(".png")
    assert os.path.basename(path).startswith("lumo_stage_")
    assert fake.calls("render.render") == [("render.render", {"write_still": True})]
    writes = [k for k, _ in fake.writes()]
    if media_type:
        assert writes.index("image_settings.media_type") < writes.index("image_settings.file_format")
        assert ("image_settings.media_type", "IMAGE") in fake.writes()
    assert scene.snapshot() == before


def test_snapshot_failures_keep_placeholder_and_restore(render, fake, tmpdir_files):
    scene = fake.context.scene
    before = scene.snapshot()
    with pytest.raises(RuntimeError, match="^截图渲染未产出文件$"):
        render.render_snapshot(scene, Obj(), 640, 16, 9)  # nothing written; no camera name
    assert scene.snapshot() == before
    assert len(staged(tmpdir_files)) == 1  # the empty placeholder stays
    fake.fail_on("call:render.render", KeyboardInterrupt(), nth=2)
    with pytest.raises(KeyboardInterrupt):
        render.render_snapshot(scene, Obj("C"), 640, 16, 9)
    assert scene.snapshot() == before
    fake.on_render = write_still
    _, meta = render.render_snapshot(scene, Obj(), 640, 16, 9)
    assert meta["camera"] == ""


def test_bad_arguments_fail_before_any_file_or_write(render, fake, tmpdir_files):
    scene = fake.context.scene
    with pytest.raises(ValueError, match="画幅比例必须为正"):
        render.render_snapshot(scene, Obj("C"), 1920, 0, 9)
    with pytest.raises(TypeError, match="frame_start"):
        render.render_animation(scene, Obj("C"), 1920, 16, 9, "1", 2)
    with pytest.raises(ValueError, match="画幅比例必须为正"):
        render.render_animation(scene, Obj("C"), 1920, 16, -1, 1, 2)
    assert staged(tmpdir_files) == [] and fake.log == []


def test_no_host_is_a_clear_runtime_error(render, tmpdir_files):
    assert render.bpy is None
    with pytest.raises(RuntimeError, match="bpy"):
        render.render_snapshot(object(), Obj("C"), 640, 16, 9)
    with pytest.raises(RuntimeError, match="bpy"):
        render.render_animation(object(), Obj("C"), 640, 16, 9, 1, 2)
    assert staged(tmpdir_files) == []


def test_animation_order_meta_and_restore(render, fake, tmpdir_files):
    scene = fake.context.scene
    before = scene.snapshot()
    fake.on_render = write_video("0001-0048.mp4")
    path, meta = render.render_animation(scene, Obj("Cam"), 1280, 16, 9, 48, 1)
    assert list(meta.items()) == [("width", 1280), ("height", 720), ("fps", 24), ("frames", 48),
                                  ("duration", 2.0), ("truncated", False), ("camera", "Cam")]
    assert path.endswith("0001-0048.mp4")
    writes = [k for k, _ in fake.writes()]
    render_at = fake.log.index(("call:render.render", {"animation": True}))
    inside = [k for k, _ in fake.log[:render_at] if not k.startswith("call:")]
    assert inside[-15:] == ["image_settings.file_format", "ffmpeg.format", "ffmpeg.codec",
                           "ffmpeg.audio_codec", "ffmpeg.constant_rate_factor",
                           "ffmpeg.ffmpeg_preset", "ffmpeg.gopsize", "ffmpeg.use_max_b_frames",
                           "ffmpeg.max_b_frames", "image_settings.color_mode",
                           "render.filepath", "scene.camera",
                           "render.use_sequencer", "scene.frame_start", "scene.frame_end"]
    assert ("scene.frame_start", 1) in fake.writes() and ("scene.frame_end", 48) in fake.writes()
    assert writes[0] == "render.engine"
    assert scene.snapshot() == before


@pytest.mark.parametrize("first,last,frames,duration,truncated", [
    (1, 1000, 720, 30.0, True), (1, 500, 500, 20.833, False), (5, 5, 1, 0.042, False)])
def test_animation_range_limits(render, fake, tmpdir_files, first, last, frames, duration,
                                truncated):
    fake.on_render = write_video(".mp4")
    _, meta = render.render_animation(fake.context.scene, Obj("C"), 64, 1, 1, first, last)
    assert (meta["frames"], meta["duration"], meta["truncated"]) == (frames, duration, truncated)
    assert type(meta["duration"]) is float
    assert ("scene.frame_end", first + frames - 1) in fake.writes()


def test_animation_reads_config_at_call_time(render, fake, tmpdir_files, monkeypatch):
    from tavro_blender_uploader import config
    monkeypatch.setattr(config, "VIDEO_FPS", 30)
    fake.on_render = write_video(".mp4")
    _, meta = render.render_animation(fake.context.scene, Obj("C"), 64, 1, 1, 1, 1000)
    assert (meta["fps"], meta["frames"], meta["duration"]) == (30, 900, 30.0)
    assert ("render.fps", 30) in fake.writes()


def test_animation_host_error_restores_and_makes_no_lookup(render, fake, tmpdir_files):
    scene = fake.context.scene
    before = scene.snapshot()
    fake.fail_on("ffmpeg.codec", ValueError("enum 'H264' not found"))
    with pytest.raises(ValueError, match="H264"):
        render.render_animation(scene, Obj("C"), 64, 1, 1, 1, 10)
    assert scene.snapshot() == before
    assert len(staged(tmpdir_files)) == 1
    with pytest.raises(RuntimeError, match="^" + MISSING + "$"):
        render.render_animation(scene, Obj("C"), 64, 1, 1, 1, 10)  # renders nothing
    assert scene.snapshot() == before
    assert len(staged(tmpdir_files)) == 2


def test_resolve_ffmpeg_output(render, tmp_path):
    prefix = str(write_file(str(tmp_path / "lumo_stage_ab"), b""))
    write_file(str(tmp_path / "lumo_stage_other.mp4"))
    with pytest.raises(RuntimeError) as info:
        render._resolve_ffmpeg_output(prefix)
    assert str(info.value) == MISSING
    ranged = write_file(prefix + "0001-0048.mp4")
    assert render._resolve_ffmpeg_output(prefix) == ranged
    plain = write_file(prefix + ".mp4")
    os.utime(ranged, ns=(1, 10**18))
    os.utime(plain, ns=(1, 2 * 10**18))
    assert render._resolve_ffmpeg_output(prefix=prefix) == plain  # newest wins
    os.utime(ranged, ns=(1, 3 * 10**18))
    assert render._resolve_ffmpeg_output(prefix) == ranged
    assert os.path.exists(prefix)  # nothing is deleted
    with pytest.raises(TypeError):
        render._resolve_ffmpeg_output(b"x")


def test_resolve_moves_output_written_into_placeholder(render, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_file("lumo_stage_cd", b"video")
    assert render._resolve_ffmpeg_output("lumo_stage_cd") == "lumo_stage_cd.mp4"
    assert not os.path.exists("lumo_stage_cd")
    assert open("lumo_stage_cd.mp4", "rb").read() == b"video"


def test_no_reference_outlives_a_call(render, fake, tmpdir_files):
    import sys
    scene, cam = fake.context.scene, Obj("C")
    counts = sys.getrefcount(scene), sys.getrefcount(cam)
    fake.on_render = write_still
    render.render_snapshot(scene, cam, 64, 1, 1)
    fake.on_render = None
    with pytest.raises(RuntimeError):
        render.render_animation(scene, cam, 64, 1, 1, 1, 3)
    guard = render._scene_guard(scene)
    with guard:
        pass
    fake.log.clear()  # the log holds the values written, the camera among them
    assert (sys.getrefcount(scene), sys.getrefcount(cam)) == counts
