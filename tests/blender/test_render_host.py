"""The render module inside real Blender, in every host (render_harness.HOSTS, each shaped as the
fake host's VERSIONS says), against the default scene: the files it writes, the meta it reports,
and the user's scene left as it was.

One host run (host_render.py) does every render; the tests below check its parts."""

import os
import pathlib
import sys
import tempfile

import pytest

from render_harness import ROOT, host_params, run_in_host
from render_media import frame_brightness, min_alpha, png_info, probe

sys.path.insert(0, str(ROOT / "tests" / "py"))
from fakebpy import VERSIONS  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
_runs = {}


@pytest.fixture(scope="module", autouse=True)
def remove_staged_files():
    """The module never deletes what it produces; the tests do, once they are done."""
    yield
    for report in _runs.values():
        for path in report.get("staged", []):
            if os.path.isfile(path):
                os.remove(path)


@pytest.fixture(params=host_params())
def host(request, clips):
    """The report of host_render.py in one host, run once per session."""
    name = request.param
    if name not in _runs:
        # A temporary folder of its own, so that what counts as this run's staged files is
        # never another process's.
        staging = tempfile.mkdtemp(prefix="tavro_render_")
        _runs[name] = run_in_host(name, HERE / "host_render.py", args={"clips": clips},
                                  timeout=600, env={"TMPDIR": staging})
    return _runs[name]


def part(report, name):
    value = report[name]
    assert value.get("error") is None, value.get("traceback", value)
    return value


def assert_produced(path, suffix):
    name = os.path.basename(path)
    assert name.startswith("lumo_stage_") and name.endswith(suffix), path
    assert os.path.getsize(path) > 0


def test_fake_host_models_this_host(host):
    # The fake host of the Python tests models this version the way the real one is.
    shape = VERSIONS[tuple(host["app_version"])]
    assert shape["media_type"] is host["has_media_type"]
    assert shape["collection"] == ("strips" if host["has_strips"] else "sequences")
    assert (shape["retime"] == "speed_factor") is host["movie_speed_factor"]
    assert shape["effect_input"] == host["effect_input"]
    assert shape["turns_movies"] is host["turns_movies"]
    assert list(shape["filters"]) == host["filters"]


@pytest.mark.parametrize("case, size", [("snapshot_16_9", (1920, 1080)),
                                        ("snapshot_9_16", (1080, 1920))])
def test_snapshot_through_another_camera_leaves_the_scene_as_it_was(host, case, size):
    got = part(host, case)
    assert list(got["meta"].items()) == [("width", size[0]), ("height", size[1]),
                                         ("frame", 37), ("camera", "SideCam")]
    assert_produced(got["path"], ".png")
    assert png_info(got["path"]) == (*size, 2)  # RGB: no alpha channel to be taken for see-through
    assert min_alpha(got["path"]) == 255  # opaque film, although the user's film is transparent
    assert got["after"] == host["initial"]  # settings, active camera, scenes, active scene


def test_animation_is_h264_mp4_at_24_fps_without_audio(host):
    got = part(host, "animation_48")
    assert list(got["meta"].items()) == [
        ("width", 320), ("height", 180), ("fps", 24), ("frames", 48), ("duration", 2.0),
        ("truncated", False), ("camera", "SideCam")]
    assert_produced(got["path"], ".mp4")
    info = probe(got["path"])
    assert (info["codec"], info["rate"], info["frames"], info["size"]) == ("h264", "24/1", 48,
                                                                          (320, 180))
    assert "mp4" in info["format"] and info["audio_streams"] == 0
    assert got["after"] == host["initial"]


def test_long_range_is_cut_to_30_seconds(host):
    got = part(host, "animation_1000")
    assert (got["meta"]["frames"], got["meta"]["duration"], got["meta"]["truncated"]) == (
        720, 30.0, True)
    assert probe(got["path"])["frames"] == 720
    assert got["after"] == host["initial"]


def test_failing_render_leaves_every_scene_as_it_was(host):
    got = part(host, "render_raises")
    # The host's error, nothing written: the caller gets it as the host raised it.
    assert got["snapshot"] == "RuntimeError: injected render failure"
    assert got["animation"].startswith("KeyboardInterrupt")
    assert got["transcode"] == "RuntimeError: injected render failure"
    for key in ("snapshot_state", "animation_state", "transcode_state"):
        assert got[key] == host["initial"], key


@pytest.mark.parametrize("case, frames, duration, truncated, size", [
    ("transcode_c24_10s", 240, 10.0, False, (64, 36)),
    ("transcode_c24_35s", 720, 30.0, True, (64, 36)),
    ("transcode_portrait", 12, 0.5, False, (720, 1280)),
    ("transcode_c30_3s", 72, 3.0, False, (64, 36)),
    ("transcode_c12_2s", 48, 2.0, False, (64, 36)),
])
def test_transcode_normalises_length_rate_and_size(host, clips, case, frames, duration,
                                                    truncated, size):
    got = part(host, case)
    source = os.path.basename(clips[case[len("transcode_"):]])
    assert list(got["meta"].items()) == [
        ("width", size[0]), ("height", size[1]), ("fps", 24), ("frames", frames),
        ("duration", duration), ("truncated", truncated), ("source", source)]
    assert_produced(got["path"], ".mp4")
    info = probe(got["path"])
    assert (info["codec"], info["rate"], info["frames"], info["size"]) == ("h264", "24/1",
                                                                          frames, size)
    assert info["audio_streams"] == 0
    assert abs(info["duration"] - duration) < 0.05
    assert got["after"] == host["initial"]  # no scene left behind, the user's untouched


@pytest.mark.parametrize("case", ["transcode_c30_3s", "transcode_c12_2s"])
def test_clip_at_another_frame_rate_keeps_its_real_speed(host, clips, case):
    # The clip's grey level rises with time: output frame n, at n/24 s, must show the source's
    # moment n/24 s, not its frame n (slow or fast motion).
    src = frame_brightness(clips[case[len("transcode_"):]])
    out = frame_brightness(part(host, case)["path"])
    src_fps = {"transcode_c30_3s": 30, "transcode_c12_2s": 12}[case]
    for n in (len(out) // 4, len(out) // 2, len(out) - 1):
        expected = src[min(len(src) - 1, round(n * src_fps / 24))]
        assert abs(out[n] - expected) < 6, (n, out[n], expected)
    assert abs(out[-1] - src[-1]) < 6  # the clip ends at its own end


def test_unreadable_clip_fails_without_leaving_a_scene(host):
    got = part(host, "transcode_unreadable")
    assert got["raised"] == "RuntimeError: 无法读取视频文件：not_a_video.mp4"
    assert got["after"] == host["initial"]
