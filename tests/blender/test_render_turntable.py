"""Turntables in every host, by picture: an asymmetric object (host_turntable.py) stays whole and
centred while the camera goes round, the loop closes, a quarter of the way shows its side, the
pillars around it are left out unless asked for, and the user's scene and the host's data are
the same before and after every call."""

import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from render_harness import host_params, run_in_host
from render_media import decoded_frame, distance, media_folder, probe

HERE = pathlib.Path(__file__).resolve().parent
_runs = {}


@pytest.fixture(scope="module", autouse=True)
def staging():
    """The module never deletes what it produces; the run's own temporary folder goes at the end."""
    folder = tempfile.mkdtemp(prefix="tavro_turntable_")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(params=host_params())
def host(request, staging, tmp_path_factory):
    name = request.param
    if name not in _runs:
        media_folder(tmp_path_factory, "turntable")  # skips without ffmpeg
        env = {"TMPDIR": tempfile.mkdtemp(prefix=name + "_", dir=staging)}
        _runs[name] = run_in_host(name, HERE / "host_turntable.py", timeout=600, env=env)
    return _runs[name]


def grey_frames(path, size):
    """Every frame of a video as grey bytes at its own `size`, from one decoding."""
    out = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], capture_output=True, check=True, timeout=120)
    n = size[0] * size[1]
    return [out.stdout[i:i + n] for i in range(0, len(out.stdout) - n + 1, n)]


def silhouette(grey, size):
    """(left, top, right, bottom) of the pixels that differ from the background (the corner)."""
    w, h = size
    rows = [y for y in range(h) if any(abs(v - grey[0]) > 25 for v in grey[y * w:(y + 1) * w])]
    cols = [x for x in range(w) if any(abs(v - grey[0]) > 25 for v in grey[x::w])]
    assert rows and cols, "the frame shows nothing"
    return cols[0], rows[0], cols[-1], rows[-1]


def whole_and_centred(box, size):
    left, top, right, bottom = box
    w, h = size
    assert left > 0 and top > 0 and right < w - 1 and bottom < h - 1, box  # clear of the edges
    # The camera aims at the centre of the bounds; perspective moves the silhouette by a little
    # (the nearer end shows larger), up to about a tenth of the frame for this object.
    assert abs((left + right) / 2 - (w - 1) / 2) < 0.15 * w, box
    assert abs((top + bottom) / 2 - (h - 1) / 2) < 0.15 * h, box


def test_every_call_leaves_the_scene_and_the_data_as_they_were(host):
    before = host["before"]
    for case in ("wide", "tall", "others", "error_none", "error_gone", "error_light", "error_camera",
                 "render_raises", "interrupted"):
        assert host[case]["state"] == before["state"], case
        assert host[case]["data"] == before["data"], case  # no camera, action or object left


def test_errors_are_short_value_errors_and_render_errors_the_modules_own(host):
    assert [host["error_" + case]["raised"] for case in ("none", "gone", "light", "camera")] == [
        "ValueError: 请先选择要展示的对象", "ValueError: 找不到对象：Nowhere",
        "ValueError: 对象没有可渲染的几何体：Light", "ValueError: 对象没有可渲染的几何体：Camera"]
    # A host render error that wrote nothing reaches the caller as raised, as for the other renders.
    assert host["render_raises"]["raised"] == "RuntimeError: injected render failure"
    assert host["interrupted"]["raised"].startswith("KeyboardInterrupt")


def test_turntable_is_one_closed_turn_with_the_object_whole_and_centred(host):
    got = host["wide"]
    assert "raised" not in got, got.get("traceback")
    assert list(got["meta"].items()) == [
        ("width", 320), ("height", 180), ("fps", 24), ("frames", 96), ("duration", 4.0),
        ("truncated", False), ("object", "Bar")]
    path, size = got["path"], (320, 180)
    assert os.path.basename(path).startswith("lumo_stage_") and path.endswith(".mp4")
    info = probe(path)
    assert (info["codec"], info["rate"], info["frames"], info["size"]) == ("h264", "24/1", 96, size)
    frames = grey_frames(path, size)
    # Every eighth frame, those where a pillar stands in the way included (0, 24, 48): the
    # object alone.
    for i in range(0, 96, 8):
        whole_and_centred(silhouette(frames[i], size), size)
    # A quarter turn later the bar is seen end on: far narrower than from the front.
    front, side = silhouette(frames[0], size), silhouette(frames[24], size)
    assert (side[2] - side[0]) < 0.5 * (front[2] - front[0]), (front, side)
    # The last frame is one step short of the first: nearly the same picture.
    small = (80, 45)
    first = decoded_frame(path, 0, small)
    closing, quarter = distance(first, decoded_frame(path, 95, small)), distance(
        first, decoded_frame(path, 24, small))
    assert closing < 3 and closing < quarter / 4, (closing, quarter)


def test_the_surroundings_are_shown_when_asked_for(host):
    got = host["others"]
    assert "raised" not in got, got.get("traceback")
    frames = grey_frames(got["path"], (320, 180))
    # In front, on the side and behind, a pillar runs from the top of the frame to its bottom.
    for i in (0, 6, 12):
        _, top, _, bottom = silhouette(frames[i], (320, 180))
        assert (top, bottom) == (0, 179), i


def test_portrait_turntable_keeps_the_object_whole_at_every_frame(host):
    got = host["tall"]
    assert "raised" not in got, got.get("traceback")
    assert (got["meta"]["width"], got["meta"]["height"], got["meta"]["frames"]) == (72, 128, 24)
    frames = grey_frames(got["path"], (72, 128))
    assert len(frames) == 24
    for grey in frames:
        whole_and_centred(silhouette(grey, (72, 128)), (72, 128))
