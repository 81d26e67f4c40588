# Runs inside a real Blender host (see render_harness): every render made to fail the way a
# full disk, an unwritable temporary folder, a broken source or the host itself makes it fail,
# in one process, and what each call returned or raised. The test process asserts over the
# report.
#
# ARGS: {"clip": a good clip, "sources": {name: broken or partial clip}, "gone": a clip to
#        delete once its strip is made, "work": a folder for cut copies}
import glob
import os
import shutil
import tempfile
import time
import types

import bpy
from tavro_blender_uploader import render
from host_disk import with_file_size_limit

scene = bpy.context.scene
camera = scene.camera
cube = bpy.data.objects["Cube"]
cube.rotation_euler = (0.0, 0.0, 0.0)
cube.keyframe_insert("rotation_euler", frame=1)
cube.rotation_euler = (0.0, 0.0, 1.5708)
cube.keyframe_insert("rotation_euler", frame=12)
STAGED = os.path.join(tempfile.gettempdir(), "lumo_stage_*")
KINDS = {
    "snapshot": lambda: render.render_snapshot(scene, camera, 320, 16, 9),
    "animation": lambda: render.render_animation(scene, camera, 160, 16, 9, 1, 12),
    "transcode": lambda: render.transcode_local_video(ARGS["clip"], 64),
}
report = {"tmp": tempfile.gettempdir(), "uid": os.geteuid()}
host_errors = []  # what the host's render raised, where around_render watches it


def state():
    r = scene.render
    return [sorted(s.name for s in bpy.data.scenes), bpy.context.scene.name, r.resolution_x,
            r.resolution_y, r.filepath, r.image_settings.file_format, scene.frame_start,
            scene.frame_end, scene.camera.name]


INITIAL = state()


def attempt(call):
    """What a render call did: its file or its error, whether the scene is as it was, and the
    files it left in the temporary folder with their sizes."""
    before = set(glob.glob(STAGED))
    out = {}
    try:
        path, meta = call()
        out.update(path=path, meta=meta)
    except Exception as e:  # noqa: BLE001 - reported to the test process
        out["raised"] = f"{type(e).__name__}: {e}"
        out["cause"] = type(e.__cause__).__name__ if e.__cause__ else None
        out["host_raised_it"] = bool(host_errors) and e is host_errors[-1]
    out["restored"] = state() == INITIAL
    out["left"] = {p: os.path.getsize(p) for p in sorted(set(glob.glob(STAGED)) - before)}
    return out


def index_middle(path):
    """An offset in the middle of the file's closing part: the PNG's IEND chunk, or the MP4's
    moov box (written last, once the frames are in)."""
    data = open(path, "rb").read()
    if path.endswith(".png"):
        return len(data) - 6
    at = 0
    while at + 8 <= len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == b"moov":
            return at + size // 2
        at += size
    raise AssertionError(f"no moov in {path}")


def cut_copies(path, count=32):
    """Copies of a good file cut at `count` lengths (short ones, spread ones, near the end),
    each checked; the lengths that were wrongly accepted."""
    data = open(path, "rb").read()
    lengths = sorted({0, 1, 8, 33, len(data) - 1, len(data) - 12}
                     | {len(data) * i // count for i in range(1, count)})
    copy = os.path.join(ARGS["work"], "cut" + os.path.splitext(path)[1])
    accepted = []
    for n in lengths:
        with open(copy, "wb") as f:
            f.write(data[:n])
        try:
            check_output(copy, path)
            accepted.append(n)
        except RuntimeError:
            pass
    os.remove(copy)
    return {"lengths": len(lengths), "accepted": accepted}


def check_output(path, reference):
    meta = produced_meta[reference]
    render._verify_output(path, meta["width"], meta["height"], meta.get("frames"))


produced_meta = {}
started = time.monotonic()
for kind, call in KINDS.items():
    good = attempt(call)
    report[kind] = {"good": good}
    if "path" not in good:
        continue
    produced_meta[good["path"]] = good["meta"]
    size = os.path.getsize(good["path"])
    stages = {"before_first_frame": 0, "mid_stream": size // 2,
              "finishing": index_middle(good["path"])}
    for stage, limit in stages.items():
        report[kind][stage] = dict(attempt(lambda: with_file_size_limit(limit, call)),
                                   limit=limit)
    check_output(good["path"], good["path"])  # the whole file passes
    report[kind]["cuts"] = cut_copies(good["path"])


def unwritable_temporary_folder():
    """Every kind with the temporary folder not writable by this user. As root (CI) nothing is
    unwritable, so the process acts as `nobody` meanwhile: only its effective ids change (for
    every thread), and the real root ids take them back afterwards."""
    # Beside the staging folder, which only its owner may enter.
    locked = tempfile.mkdtemp(prefix="tavro_locked_", dir=os.path.dirname(tempfile.gettempdir()))
    clip = shutil.copy(ARGS["clip"], locked)
    os.chmod(clip, 0o644)
    os.chmod(locked, 0o555)
    kinds = dict(KINDS, transcode=lambda: render.transcode_local_video(clip, 64))
    saved = tempfile.tempdir
    root = os.geteuid() == 0
    try:
        tempfile.tempdir = locked
        if root:
            os.setegid(65534)
            os.seteuid(65534)
        try:
            return {"folder": locked, **{kind: attempt(call) for kind, call in kinds.items()}}
        finally:
            if root:
                os.seteuid(0)
                os.setegid(0)
    finally:
        tempfile.tempdir = saved
        os.chmod(locked, 0o755)
        shutil.rmtree(locked)


report["unwritable"] = unwritable_temporary_folder()
report["sources"] = {name: attempt(lambda p=p: render.transcode_local_video(p, 64))
                     for name, p in ARGS["sources"].items()}


def around_render(before, call):
    """`call` with the host's render preceded by `before()`; an error the render raises is kept
    in host_errors."""
    real = render.bpy

    def render_op(**kwargs):
        before()
        try:
            return real.ops.render.render(**kwargs)
        except Exception as e:
            host_errors.append(e)
            raise

    render.bpy = types.SimpleNamespace(
        ops=types.SimpleNamespace(render=types.SimpleNamespace(render=render_op)),
        data=bpy.data, path=bpy.path, context=bpy.context, app=bpy.app)
    try:
        return attempt(call)
    finally:
        render.bpy = real


# The clip is deleted once its strip is made, just before the host renders it.
report["gone"] = around_render(lambda: os.remove(ARGS["gone"]),
                               lambda: render.transcode_local_video(ARGS["gone"], 64))
# Renders the host itself refuses, with no camera to render through.
report["refused"] = {
    "snapshot": around_render(lambda: None, lambda: render.render_snapshot(scene, None, 320, 16, 9)),
    "animation": around_render(lambda: None,
                               lambda: render.render_animation(scene, None, 160, 16, 9, 1, 12)),
}
report["seconds"] = round(time.monotonic() - started, 1)
emit(report)
# Blender the program ends with a failure code once it has refused a render (no camera), which
# the harness would take for a failed script; the report is out, so the host ends here.
os._exit(0)
