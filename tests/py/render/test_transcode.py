"""Local video normalisation against the fake host: early errors, the temporary scene's life,
meta, and retiming of clips whose frame rate is not the output's."""

import errno
import os

import pytest

import math

from fakebpy import (NEW_FILTERS, OLD_FILTERS, VERSIONS, FakeBpy, old_transform_point,
                     write_file, write_mp4, write_video)


@pytest.fixture
def clip(tmp_path):
    (tmp_path / "in").mkdir()
    return write_file(str(tmp_path / "in" / "My Clip.MOV"))


def test_early_errors_create_nothing(render, fake, tmp_path, tmpdir_files):
    with pytest.raises(ValueError) as info:
        render.transcode_local_video("/a/clip.GIF", 1280)
    assert str(info.value) == "不支持的视频格式：.GIF"
    with pytest.raises(ValueError) as info:
        render.transcode_local_video("/a/.mp4", 1280)
    assert str(info.value) == "不支持的视频格式："
    missing = str(tmp_path / "gone.mp4")
    with pytest.raises(FileNotFoundError) as info:
        render.transcode_local_video(missing, 1280)
    assert info.value.errno == errno.ENOENT and info.value.filename == missing
    assert missing in str(info.value)
    with pytest.raises(TypeError, match="long_edge"):
        render.transcode_local_video(5, "big")  # long_edge is tested first
    with pytest.raises(TypeError, match="src"):
        render.transcode_local_video(None, 1280)
    assert fake.log == [] and list(tmpdir_files.iterdir()) == []


@pytest.mark.parametrize("collection", ["strips", "sequences"])
def test_success_meta_and_order(render, make_fake, clip, tmpdir_files, collection):
    fake = make_fake(collection=collection)
    fake.clip.update(frames=240, width=1080, height=1920)
    fake.on_render = write_video("0001-0240.mp4")
    user = fake.context.scene
    before = user.snapshot()
    path, meta = render.transcode_local_video(src=clip, long_edge=1280)
    assert list(meta.items()) == [("width", 720), ("height", 1280), ("fps", 24), ("frames", 240),
                                  ("duration", 10.0), ("truncated", False),
                                  ("source", "My Clip.MOV")]
    assert path.endswith("0001-0240.mp4") and os.path.exists(path)
    assert fake.data.scenes.names() == ["Scene"] and user.snapshot() == before
    assert fake.writes("render.") == [] and fake.writes("scene.") == []
    calls = [name for name, _ in fake.calls()]
    assert calls == ["scenes.new", "sequence_editor_create", "new_movie", "render.render",
                     "scenes.remove"]
    assert fake.calls("new_movie")[0][1] == dict(name="src", filepath=clip, channel=1,
                                                 frame_start=1)
    assert fake.calls("render.render")[0][1] == {"animation": True, "scene": "LUMO_Transcode"}
    tmp = [k for k, _ in fake.writes("LUMO_Transcode/") if ".transform." not in k]
    assert tmp[:2] == ["LUMO_Transcode/scene.frame_start", "LUMO_Transcode/scene.frame_end"]
    assert tmp[-1] == "LUMO_Transcode/render.filepath"


def test_long_empty_and_sizeless_clips(render, fake, clip, tmpdir_files):
    fake.on_render = write_video(".mp4")
    fake.clip.update(frames=1440, width=0, height=0)
    _, meta = render.transcode_local_video(clip, 1280)
    assert (meta["width"], meta["height"], meta["frames"], meta["duration"],
            meta["truncated"]) == (1280, 720, 720, 30.0, True)
    assert ("LUMO_Transcode/scene.frame_end", 720) in fake.writes()
    fake.clip.update(frames=0)
    _, meta = render.transcode_local_video(clip, 1280)
    assert (meta["frames"], meta["duration"], meta["truncated"]) == (0, 0.0, False)
    assert ("LUMO_Transcode/scene.frame_end", 1) in fake.writes()


def test_existing_name_gets_unique_scene(render, fake, clip, tmpdir_files):
    fake.data.scenes.new("LUMO_Transcode")
    fake.on_render = write_video(".mp4")
    render.transcode_local_video(clip, 640)
    assert fake.calls("render.render")[0][1]["scene"] == "LUMO_Transcode.001"
    assert fake.data.scenes.names() == ["Scene", "LUMO_Transcode"]


@pytest.mark.parametrize("fail", [
    ("call:new_movie", RuntimeError("cannot read clip")),
    ("LUMO_Transcode/ffmpeg.codec", TypeError("rejected")),
    ("call:render.render", KeyboardInterrupt()),
    (None, None),  # nothing written: the lookup fails
])
def test_temporary_scene_removed_on_every_failure(render, fake, clip, tmpdir_files, fail):
    label, exc = fail
    if label:
        fake.fail_on(label, exc)
    with pytest.raises(BaseException) as info:
        render.transcode_local_video(clip, 640)
    if exc is not None:
        assert info.value is exc
    else:
        assert info.type is RuntimeError
    assert fake.data.scenes.names() == ["Scene"]
    assert fake.calls()[-1][0] == "scenes.remove"


def test_removal_error_replaces_result(render, fake, clip, tmpdir_files):
    fake.on_render = write_video(".mp4")
    gone = RuntimeError("scene in use")
    fake.fail_on("call:scenes.remove", gone)
    with pytest.raises(RuntimeError) as info:
        render.transcode_local_video(clip, 640)
    assert info.value is gone


def test_strip_without_element_fails_and_cleans_up(render, fake, clip, tmpdir_files):
    fake.clip.update(elements=False)
    with pytest.raises(IndexError):
        render.transcode_local_video(clip, 640)
    assert fake.data.scenes.names() == ["Scene"]


@pytest.mark.parametrize("retime,effect_input", [("speed_factor", "input1"),
                                                 ("effect", "input1"), ("effect", "seq1"),
                                                 ("none", "input1")])
def test_retiming_keeps_real_speed(render, make_fake, clip, tmpdir_files, retime, effect_input):
    fake = make_fake(retime=retime, effect_input=effect_input)
    fake.clip.update(frames=90, fps=30.0)  # 3 s at 30 fps
    fake.on_render = write_video(".mp4")
    _, meta = render.transcode_local_video(clip, 640)
    if retime == "none":  # nothing to retime with: one source frame per output frame
        assert meta["frames"] == 90
        return
    assert (meta["frames"], meta["duration"]) == (72, 3.0)
    assert ("LUMO_Transcode/scene.frame_end", 72) in fake.writes()
    if retime == "speed_factor":
        assert ("LUMO_Transcode/strip.src.speed_factor", 1.25) in fake.writes()
    else:
        assert fake.writes("LUMO_Transcode/strip.speed") == [
            ("LUMO_Transcode/strip.speed.speed_control", "MULTIPLY"),
            ("LUMO_Transcode/strip.speed.speed_factor", 1.25)]
        # the effect follows its input: the strip itself gets the retimed length
        assert ("LUMO_Transcode/strip.src.frame_final_duration", 72) in fake.writes()


@pytest.mark.parametrize("retime", ["speed_factor", "effect"])
def test_slower_source_is_stretched(render, make_fake, clip, tmpdir_files, retime):
    fake = make_fake(retime=retime)
    fake.clip.update(frames=24, fps=12.0)  # 2 s at 12 fps
    fake.on_render = write_video(".mp4")
    _, meta = render.transcode_local_video(clip, 640)
    assert (meta["frames"], meta["duration"]) == (48, 2.0)
    assert ("LUMO_Transcode/scene.frame_end", 48) in fake.writes()


def test_retiming_applies_to_the_limit_too(render, make_fake, clip, tmpdir_files):
    fake = make_fake(retime="speed_factor")
    fake.clip.update(frames=60 * 30, fps=30.0)  # 60 s at 30 fps
    fake.on_render = write_video(".mp4")
    _, meta = render.transcode_local_video(clip, 640)
    assert (meta["frames"], meta["truncated"]) == (720, True)
    fake.clip.update(frames=24 * 10, fps=24.0)  # same rate: left alone
    fake.log.clear()
    _, meta = render.transcode_local_video(clip, 640)
    assert meta["frames"] == 240 and not fake.writes("LUMO_Transcode/strip.src.speed")


def test_clip_the_host_cannot_decode_is_an_error(render, fake, clip, tmpdir_files):
    # The host adds a one-frame strip without rate or size instead of raising.
    fake.clip.update(frames=1, fps=0.0, width=0, height=0)
    fake.on_render = write_video(".mp4")
    with pytest.raises(RuntimeError) as info:
        render.transcode_local_video(clip, 640)
    assert str(info.value) == "无法读取视频文件：My Clip.MOV"
    assert fake.data.scenes.names() == ["Scene"] and not fake.calls("render.render")


def centres_land(fake, stored, frame, turns, enlarged):
    """Whether the 3.x transform puts the stored picture's corner pixels where they belong:
    centre onto centre, or, enlarged, onto the frame's corner pixels (that transform shows
    nothing past the edge pixels' centres)."""
    t = fake.last_strip.transform
    (w, h), (fw, fh) = stored, frame
    for x, y in ((0, 0), (w - 1, h - 1), (0, h - 1)):
        # The right place: the turned, scaled centre, less half a frame pixel.
        sx, sy = (fh / w, fw / h) if turns % 2 else (fw / w, fh / h)
        if enlarged:
            sx, sy = ((fh - 1) / (w - 1), (fw - 1) / (h - 1)) if turns % 2 else \
                ((fw - 1) / (w - 1), (fh - 1) / (h - 1))
        dx, dy = (x + 0.5 - w / 2) * sx, (y + 0.5 - h / 2) * sy
        c, s = round(math.cos(turns * math.pi / 2)), round(math.sin(turns * math.pi / 2))
        right = (fw / 2 + c * dx - s * dy - 0.5, fh / 2 + s * dx + c * dy - 0.5)
        got = old_transform_point(t, stored, frame, (x, y))
        # Enlarged: a sliver (under 1/64 pixel) further out, past the host's rounding.
        near = 1 / 64 if enlarged else 1e-6
        if not all(math.isclose(g, r, abs_tol=near) for g, r in zip(got, right)):
            return False
    return True


@pytest.mark.parametrize("filters", [NEW_FILTERS, OLD_FILTERS])
@pytest.mark.parametrize("size, edge, out, best", [
    ((1920, 1080), 1280, (1280, 720), "BOX"),  # larger than the output: shrunk, nothing cut
    ((640, 360), 1280, (1280, 720), "CUBIC_MITCHELL"),  # smaller: enlarged, no black frame
    ((1080, 1920), 1280, (720, 1280), "BOX"),
    ((853, 480), 1280, (1280, 720), "CUBIC_MITCHELL"),  # odd width: both axes fill the frame
    ((1921, 1081), 1280, (1280, 720), "BOX"),  # odd sizes: the host's truncated centring
    ((1920, 1080), 1920, (1920, 1080), None),  # the output's size already: not resampled
])
def test_whole_picture_fills_the_frame(render, make_fake, clip, tmpdir_files, filters, size,
                                       edge, out, best):
    fake = make_fake(filters=filters)
    fake.clip.update(width=size[0], height=size[1])
    fake.on_render = write_video(".mp4")
    _, meta = render.transcode_local_video(clip, edge)
    assert (meta["width"], meta["height"]) == out
    t = "LUMO_Transcode/strip.src.transform."
    if best is None:
        assert fake.writes(t) == []
    elif filters is NEW_FILTERS:
        assert fake.writes(t) == [(t + "filter", best), (t + "scale_x", out[0] / size[0]),
                                  (t + "scale_y", out[1] / size[1])]
    else:
        assert centres_land(fake, size, out, 0, enlarged=best != "BOX")


@pytest.mark.parametrize("version", sorted(VERSIONS))
@pytest.mark.parametrize("turns", [0, 1, 2, 3])
def test_phone_clip_comes_out_upright_in_every_host(render, monkeypatch, tmp_path, tmpdir_files,
                                                    version, turns):
    # A landscape picture stored with a display rotation; hosts that do not turn it themselves
    # get the strip turned by the module, from the file's own matrix.
    fake = FakeBpy.of_version(version)
    monkeypatch.setattr(render, "bpy", fake)
    fake.clip.update(width=1920, height=1080, turns=turns)
    fake.on_render = write_video(".mp4")
    src = write_mp4(str(tmp_path / "phone.mp4"), turns, (1920, 1080))
    _, meta = render.transcode_local_video(src, 1280)
    sideways = turns % 2 == 1
    assert (meta["width"], meta["height"]) == ((720, 1280) if sideways else (1280, 720))
    writes = dict(fake.writes("LUMO_Transcode/strip.src.transform"))
    turned = writes.get("LUMO_Transcode/strip.src.transform.rotation", 0.0)
    expected = 0 if VERSIONS[version]["turns_movies"] else turns
    assert math.isclose(turned, expected * math.pi / 2)
    # 1920 x 1080 onto 1280 x 720, turned or not: by the scale alone on a newer host, every
    # pixel centre onto its place on the 3.x one.
    if "BOX" in fake.filters:
        assert math.isclose(writes["LUMO_Transcode/strip.src.transform.scale_x"], 1280 / 1920)
        assert math.isclose(writes["LUMO_Transcode/strip.src.transform.scale_y"], 720 / 1080)
    else:
        assert centres_land(fake, (1920, 1080), (meta["width"], meta["height"]), expected,
                            enlarged=False)


def test_unreadable_rotation_counts_as_none(render, tmp_path, monkeypatch, tmpdir_files):
    fake = FakeBpy.of_version((3, 4, 1))
    monkeypatch.setattr(render, "bpy", fake)
    fake.on_render = write_video(".mp4")
    whole = (tmp_path / write_mp4(str(tmp_path / "whole.mp4"), 1)).read_bytes()
    src = write_file(str(tmp_path / "damaged.mp4"), whole.replace(b"tkhd", b"junk"))
    _, meta = render.transcode_local_video(src, 1280)
    assert (meta["width"], meta["height"]) == (1280, 720)
    assert "LUMO_Transcode/strip.src.transform.rotation" not in dict(fake.writes())


@pytest.mark.parametrize("version, host_turns, turns, module_turns", [
    # A quarter turn shows in the size the host reports, whatever its version says.
    ((4, 2, 23), True, 1, 0),
    ((5, 3, 0), False, 3, 3),
    # A half turn does not: the first host seen to turn movies (4.4) decides.
    ((4, 3, 0), True, 2, 2),
    ((4, 4, 0), False, 2, 0),
])
def test_what_the_host_reports_decides_who_turns_the_clip(render, monkeypatch, tmp_path,
                                                          tmpdir_files, version, host_turns,
                                                          turns, module_turns):
    fake = FakeBpy.of_version(version, turns_movies=host_turns)
    monkeypatch.setattr(render, "bpy", fake)
    fake.clip.update(width=1920, height=1080, turns=turns)
    fake.on_render = write_video(".mp4")
    render.transcode_local_video(write_mp4(str(tmp_path / "phone.mp4"), turns, (1920, 1080)), 1280)
    writes = dict(fake.writes("LUMO_Transcode/strip.src.transform"))
    turned = writes.get("LUMO_Transcode/strip.src.transform.rotation", 0.0)
    assert math.isclose(turned, module_turns * math.pi / 2)


def test_partial_download_is_refused_before_rendering(render, fake, tmp_path, tmpdir_files):
    fake.on_render = write_video(".mp4")
    whole = (tmp_path / write_mp4(str(tmp_path / "whole.mp4"), frames=48)).read_bytes()
    mdat = (1000).to_bytes(4, "big") + b"mdat" + bytes(992)
    src = write_file(str(tmp_path / "partial.mp4"), whole + mdat[:500])  # index first, data cut
    with pytest.raises(RuntimeError) as info:
        render.transcode_local_video(src, 1280)
    assert str(info.value) == "视频文件不完整，可能尚未下载或复制完：partial.mp4"
    assert fake.calls("render.render") == [] and [s.name for s in fake.data.scenes] == ["Scene"]
