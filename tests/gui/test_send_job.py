"""A send from the panel in a real Blender window renders as Blender's own render job: the window
answers while it renders, a second send is refused, and however the job ends, the user's scene,
data and preferences come back as they were; only a completed job is served, sha-identical."""

import pathlib
import subprocess

import pytest

from window import host_params, run_in_window

SCRIPT = pathlib.Path(__file__).with_name("send_job_window.py")
REFUSED = "已有素材正在渲染，请等它完成，或按 Esc 停止"

# source, frames, how the job ends, whether the file is served.
CASES = [
    ("ANIMATION", 6, "complete", True),
    ("VIDEO", 12, "complete", True),
    ("TURNTABLE", 24, "stop", False),  # a real Esc key
    ("ANIMATION", 48, "load", False),  # File > New mid-render
    ("ANIMATION", 48, "disable", False),  # the add-on disabled mid-render
]


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = tmp_path_factory.mktemp("clip") / "clip.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=duration=0.5:size=160x90:rate=24", "-pix_fmt", "yuv420p",
                    str(path)], check=True, timeout=60)
    return str(path)


@pytest.mark.parametrize("source, frames, end, served", CASES)
@pytest.mark.parametrize("host", host_params())
def test_send_as_render_job(host, source, frames, end, served, clip, tmp_path):
    flag = str(tmp_path / "rendering")
    args = dict(source=source, frames=frames, end=end, flag=flag, video=clip)
    with run_in_window(host, SCRIPT, args=args, timeout=400) as win:
        win.wait_for(flag + ".ready", timeout=120)
        pathlib.Path(flag + ".go").touch()
        win.wait_for(flag, timeout=300)
        if end == "stop":
            win.key("Escape")
        result = win.result()
    assert result["started"] == ["RUNNING_MODAL"]
    assert result["during"] == dict(lock=True, display="NONE")
    assert REFUSED in result["second"]
    assert result["job_left"] is False and result["handlers"] == [0, 0, 0]
    assert result["display_after"] == result["before"]["display"]
    if end != "load":  # after File > New the user's scene is another file's
        assert result["after"] == result["before"]
    assert (result["urls"], result["bridges"]) == ((1, 1) if served else (0, 0))
    if served:
        assert result["sha_served"] == result["sha_file"]
    # The window answered while it rendered.
    assert result["longest_stall"] < 5


@pytest.mark.parametrize("host", host_params())
def test_quitting_mid_render_ends_blender(host, tmp_path):
    flag = str(tmp_path / "rendering")
    args = dict(source="ANIMATION", frames=48, end="quit", flag=flag)
    with run_in_window(host, SCRIPT, args=args, timeout=300) as win:
        win.wait_for(flag + ".ready", timeout=120)
        pathlib.Path(flag + ".go").touch()
        win.wait_for(flag, timeout=300)
        win.result()  # the state before the send, emitted before the quit
        # (Some hosts' own bundled add-ons print tracebacks at start.)
        tracebacks = win.output().split("Traceback")[1:]
        assert not [t for t in tracebacks if "tavro" in t.split("\n\n")[0]]
