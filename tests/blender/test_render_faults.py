"""Faults while producing an asset, in every real host: the disk filling up (a per-process file
size limit, so that writes fail with EFBIG as on a full disk) before the first frame, in the
middle of the stream and while the file is being finished, for each kind; a temporary folder
this user cannot write; broken and partial sources, and one deleted after its strip is made;
renders the host itself refuses. A failed write ends in a short Chinese error, the temporary
folder in its OS error and the host's refusal in the host's own error, each with the user's
scene as it was and the broken file left where it is; nothing broken is returned.

One host run (host_faults.py) does every case; the tests below read its report."""

import os
import pathlib
import shutil
import tempfile

import pytest

from render_harness import host_params, run_in_host
from render_media import encode, frame_brightness, media_folder, probe

HERE = pathlib.Path(__file__).resolve().parent
_runs = {}

RENDER_FAILED = "RuntimeError: 渲染未能写出文件，请检查磁盘空间（{}）"
INCOMPLETE = "RuntimeError: 生成的文件不完整，磁盘可能已满（{}）"
UNWRITABLE = "PermissionError: [Errno 13] Permission denied: '{}/lumo_stage_"
UNREADABLE = "RuntimeError: 无法读取视频文件：{}"
PARTIAL = "RuntimeError: 视频文件不完整，可能尚未下载或复制完：{}"


def gradient(path, *args):
    """3 s at 24 fps whose grey level rises with time, with ffmpeg's output `args`."""
    src = "color=c=black:s=160x90:r=24:d=3,format=yuv420p,geq=lum='16+219*T/3':cb=128:cr=128"
    return encode(path, src, "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
                  *args)


def first_half(path, to):
    data = pathlib.Path(path).read_bytes()
    pathlib.Path(to).write_bytes(data[:len(data) // 2])
    return str(to)


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    d = media_folder(tmp_path_factory, "fault_sources")
    (d / "empty.mp4").write_bytes(b"")
    encode(d / "still.png", "testsrc2=size=64x36", "-frames:v", "1")
    shutil.copy(d / "still.png", d / "picture.mp4")
    encode(d / "audio_only.mp4", "sine=duration=1", "-c:a", "aac")
    return {
        "unreadable": {
            "empty.mp4": str(d / "empty.mp4"),
            "index_last_half.mp4": first_half(gradient(d / "whole.mp4"),
                                              d / "index_last_half.mp4"),
            "audio_only.mp4": str(d / "audio_only.mp4"),
            "picture.mp4": str(d / "picture.mp4"),
        },
        "partial": first_half(gradient(d / "faststart.mp4", "-movflags", "+faststart"),
                              d / "partial.mp4"),
        "good": str(d / "faststart.mp4"),
    }


@pytest.fixture(params=host_params())
def host(request, sources, clips, tmp_path_factory):
    name = request.param
    if name not in _runs:
        staging = tempfile.mkdtemp(prefix="tavro_faults_")
        work = tmp_path_factory.mktemp("faults_work")
        gone = shutil.copy(sources["good"], work / "gone.mp4")
        args = {"clip": clips["c30_3s"], "gone": str(gone), "work": str(work),
                "sources": dict(sources["unreadable"], **{"partial.mp4": sources["partial"]})}
        try:
            _runs[name] = run_in_host(name, HERE / "host_faults.py", args=args, timeout=600,
                                      env={"TMPDIR": staging})
            # The gone clip's output is read back below; the staging folder goes at the end.
            _runs[name]["staging"] = staging
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
    return _runs[name]


@pytest.fixture(scope="module", autouse=True)
def remove_staging():
    yield
    for report in _runs.values():
        shutil.rmtree(report["staging"], ignore_errors=True)


@pytest.mark.parametrize("kind", ["snapshot", "animation", "transcode"])
def test_full_disk_at_every_stage_ends_in_the_clear_error(host, kind):
    got = host[kind]
    assert "path" in got["good"], got["good"]
    folder = host["tmp"]
    for stage in ("before_first_frame", "mid_stream", "finishing"):
        case = got[stage]
        assert "path" not in case, (stage, case)  # nothing broken comes back as a success
        assert case["raised"] in (RENDER_FAILED.format(folder), INCOMPLETE.format(folder)), stage
        if case["raised"] == RENDER_FAILED.format(folder):
            assert case["cause"] == "RuntimeError", stage  # the host's error, kept
        assert case["restored"], stage
    # A file the host did write stays where it is, no larger than the limit allowed.
    for stage in ("mid_stream", "finishing"):
        left = [size for size in got[stage]["left"].values() if size > 0]
        assert left and max(left) <= got[stage]["limit"], (stage, got[stage])


@pytest.mark.parametrize("kind", ["snapshot", "animation", "transcode"])
def test_check_refuses_a_good_file_cut_at_any_length(host, kind):
    cuts = host[kind]["cuts"]
    assert cuts["lengths"] >= 30 and cuts["accepted"] == []


def test_unwritable_temporary_folder_raises_the_os_error_for_every_kind(host):
    got = host["unwritable"]
    for kind in ("snapshot", "animation", "transcode"):
        # The file it could not make: the send operator words this for the user.
        assert got[kind]["raised"].startswith(UNWRITABLE.format(got["folder"])), kind
        assert got[kind]["restored"], kind


def test_a_render_the_host_refuses_fails_with_the_hosts_own_error(host):
    for kind, case in host["refused"].items():
        assert case["raised"].startswith("RuntimeError: ") and "camera" in case["raised"], kind
        assert case["host_raised_it"] and case["cause"] is None, kind
        assert case["restored"], kind


def test_broken_sources_are_unreadable_and_a_partial_download_is_named(host):
    for name, case in host["sources"].items():
        expected = PARTIAL if name == "partial.mp4" else UNREADABLE
        assert case.get("raised") == expected.format(name), (name, case)
        assert case["restored"], name


def test_partial_download_would_freeze_after_its_cut(sources):
    # Why a partial download is refused: its index promises every frame, but only those before
    # the cut decode; a host shows the last one again to the end.
    whole, partial = probe(sources["good"]), probe(sources["partial"])
    assert whole["frames"] == 72 and 0 < partial["frames"] < 60


def test_source_deleted_after_its_strip_is_made_still_comes_out_whole(host, sources):
    # The host holds the clip open from the strip on, so the output shows it to the end.
    got = host["gone"]
    assert got.get("raised") is None, got
    out = frame_brightness(got["path"])
    src = frame_brightness(sources["good"])
    assert len(out) == 72
    for n in (0, 24, 48, 71):
        assert abs(out[n] - src[n]) < 6, (n, out[n], src[n])
