"""A failed production, kind by kind, against the real render module on the fake host: what a
caller of the render functions gets (the exception's type, text and cause) and the one line the
user reads from the send operator. The host's own errors pass unchanged; only a failed write
says "disk"; a render that wrote nothing says so in its own words."""

import errno
import os
import tempfile

import pytest

import fakebpy
from fakebpy import write_file, write_still, write_video
from ops_fakes import Objects, Operator, Props, context, obj
from tavro_blender_uploader import render

POLL = "Operator bpy.ops.render.render.poll() failed, context is incorrect"
NO_CAMERA = "Error: Cannot render, no camera\n"
STREAMS = "Error: Could not initialize streams, probably unsupported codec combination\n"
DISK = "渲染未能写出文件，请检查磁盘空间（{tmp}）"
INCOMPLETE = "生成的文件不完整，磁盘可能已满（{tmp}）"
MISMATCH = "生成的文件与设置的尺寸或帧数不符，请重试（{tmp}）"
MISSING = "渲染完成但未找到输出文件，请检查 Blender 的输出设置"
TMP_UNWRITABLE = "临时文件夹无法写入，请检查权限或磁盘空间（{tmp}）"


def fails(error, writes=None):
    """The host's render: runs `writes` (what it got onto the disk), then raises `error`."""
    def render_op(kwargs, scene):
        if writes:
            writes(kwargs, scene)
        raise error
    render_op.error = error
    return render_op


def empty(name=""):
    """Opens the output (the placeholder, or the file named after it) for writing and stops."""
    return lambda kwargs, scene: write_file(scene.render.filepath + name, b"")


def begun_video(kwargs, scene):
    """A video the host opened and closed again, whole but without frames."""
    fakebpy.write_mp4(scene.render.filepath + "0001-0048.mp4", frames=0)


def cut_in_half(hook):
    """The file `hook` writes, only its first half, as on a full disk."""
    def cut(kwargs, scene):
        hook(kwargs, scene)
        for path in (scene.render.filepath, scene.render.filepath + ".mp4"):
            if os.path.isfile(path) and os.path.getsize(path):
                data = open(path, "rb").read()
                write_file(path, data[:len(data) // 2])
    return cut


def one_frame_short(kwargs, scene):
    scene.frame_end -= 1
    try:
        write_video(".mp4")(kwargs, scene)
    finally:
        scene.frame_end += 1


MISSING_TMP = "missing temporary folder"

# source, the host's render, what the caller gets (type, text, the cause's type). The user reads
# "生成素材失败：" and the caller's text; for the temporary folder, TMP_UNWRITABLE instead.
CASES = [
    # The host's own errors, unrelated to the disk: as raised.
    ("SNAPSHOT", fails(RuntimeError(POLL)), (RuntimeError, POLL, None)),
    ("ANIMATION", fails(LookupError("view layer not found")),
     (LookupError, "view layer not found", None)),
    ("VIDEO", fails(RuntimeError(STREAMS)), (RuntimeError, STREAMS, None)),
    ("ANIMATION", fails(RuntimeError(NO_CAMERA), begun_video), (RuntimeError, NO_CAMERA, None)),
    # A failed write: shown by the output or by the error's errno.
    ("ANIMATION", fails(RuntimeError(STREAMS), empty("0001-0048.mp4")),
     (RuntimeError, DISK, RuntimeError)),
    ("VIDEO", fails(RuntimeError(STREAMS), cut_in_half(write_video(".mp4"))),
     (RuntimeError, DISK, RuntimeError)),
    ("SNAPSHOT", fails(RuntimeError("Error: cannot save"), cut_in_half(write_still)),
     (RuntimeError, DISK, RuntimeError)),
    ("SNAPSHOT", fails(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))),
     (RuntimeError, DISK, OSError)),
    ("SNAPSHOT", fails(RuntimeError(f"Error: Render error ({os.strerror(errno.EFBIG)}) cannot "
                                    "save: '/tmp/lumo_stage_x.png'\n")),
     (RuntimeError, DISK, RuntimeError)),
    # The render raised nothing and wrote nothing.
    ("SNAPSHOT", None, (RuntimeError, "截图渲染未产出文件", None)),
    ("ANIMATION", None, (RuntimeError, MISSING, None)),
    ("VIDEO", None, (RuntimeError, MISSING, None)),
    # The render raised nothing; what it wrote is not whole, or not what was set.
    ("SNAPSHOT", empty(), (RuntimeError, INCOMPLETE, None)),
    ("ANIMATION", cut_in_half(write_video(".mp4")), (RuntimeError, INCOMPLETE, None)),
    ("ANIMATION", one_frame_short, (RuntimeError, MISMATCH, None)),
    # The placeholder cannot be made: the OS error, put in words for the user.
    ("SNAPSHOT", MISSING_TMP, (FileNotFoundError, None, None)),
    ("VIDEO", MISSING_TMP, (FileNotFoundError, None, None)),
]


@pytest.mark.parametrize("source, host_render, caller_gets", CASES)
def test_each_failure_reaches_caller_and_user_in_its_own_words(ops_module, monkeypatch, tmp_path,
                                                               source, host_render, caller_gets):
    fake = fakebpy.FakeBpy()
    monkeypatch.setattr(render, "bpy", fake)
    monkeypatch.setattr(ops_module, "render", render)
    clip = fakebpy.write_mp4(str(tmp_path / "clip.mp4"))
    props = Props(source=source, video_path=clip)
    scene = fake.context.scene
    object.__setattr__(scene, "lumo_uploader", props)
    object.__setattr__(scene, "objects", Objects([obj("Camera", "CAMERA")]))
    tmp = tmp_path / "staging"
    tmp.mkdir()
    if host_render == MISSING_TMP:
        tmp = tmp / "missing"
    else:
        fake.on_render = host_render
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    before = scene.snapshot()

    kind, text, cause = caller_gets
    with pytest.raises(Exception) as info:
        ops_module._produce(None, scene, props)
    got = info.value
    assert type(got) is kind
    if text is not None:
        assert str(got) == text.format(tmp=tmp)
    assert type(got.__cause__) is (cause or type(None))
    if kind is FileNotFoundError:  # the file it could not make, in that folder
        assert os.path.dirname(got.filename) == str(tmp)
        assert os.path.basename(got.filename).startswith("lumo_stage_")
    host_error = getattr(host_render, "error", None)
    if host_error is not None:  # the host's very exception: raised, or kept as the cause
        assert host_error is (got.__cause__ if cause else got)
    assert scene.snapshot() == before

    op = Operator()
    assert ops_module.execute_send(op, context(scene)) == {"CANCELLED"}
    reads = TMP_UNWRITABLE.format(tmp=tmp) if kind is FileNotFoundError else str(got)
    assert op.reports == [({"ERROR"}, "生成素材失败：" + reads)]
    assert props.writes == []  # the status keeps its earlier text

