# Runs inside a real Blender host (started by bench/render/run.py through the test harness).
#
# For the snapshot and the animation: the module's call against the same render done directly
# with bpy.ops.render.render and the same settings, alternating in one process; and the
# module's own cost alone, with the render operator replaced by one that only writes the file.
# ARGS: {"runs": N, "snapshot_edge": px, "animation_edge": px, "frames": n}
import os
import statistics
import tempfile
import time
import types

import bpy
import mathutils
from tavro_blender_uploader import render

scene = bpy.context.scene
camera = bpy.data.objects.new("BenchCam", bpy.data.cameras.new("BenchCam"))
scene.collection.objects.link(camera)
camera.location = mathutils.Vector((6.0, -6.0, 4.0))
camera.rotation_euler = (-camera.location).to_track_quat("-Z", "Y").to_euler()
runs = ARGS["runs"]
real_render = bpy.ops.render.render


def staged(suffix):
    fd, path = tempfile.mkstemp(prefix="lumo_bench_", suffix=suffix)
    os.close(fd)
    return path


def remove(*paths):
    for p in paths:
        if p and os.path.isfile(p):
            os.remove(p)


def direct_snapshot(width, height):
    r = scene.render
    r.engine, r.resolution_x, r.resolution_y = "BLENDER_WORKBENCH", width, height
    r.resolution_percentage, r.film_transparent = 100, False
    if hasattr(r.image_settings, "media_type"):
        r.image_settings.media_type = "IMAGE"
    r.image_settings.file_format = "PNG"
    path = staged(".png")
    r.filepath = path
    scene.camera = camera
    t = time.perf_counter()
    real_render(write_still=True)
    elapsed = time.perf_counter() - t
    remove(path)
    return elapsed


def direct_animation(width, height, frames):
    r = scene.render
    r.engine, r.resolution_x, r.resolution_y = "BLENDER_WORKBENCH", width, height
    r.resolution_percentage, r.film_transparent = 100, False
    r.fps, r.fps_base = 24, 1.0
    if hasattr(r.image_settings, "media_type"):
        r.image_settings.media_type = "VIDEO"
    r.image_settings.file_format = "FFMPEG"
    r.ffmpeg.format, r.ffmpeg.codec, r.ffmpeg.audio_codec = "MPEG4", "H264", "NONE"
    prefix = staged("")
    r.filepath = prefix
    scene.camera = camera
    scene.frame_start, scene.frame_end = 1, frames
    t = time.perf_counter()
    real_render(animation=True)
    elapsed = time.perf_counter() - t
    d = os.path.dirname(prefix)
    remove(prefix, *[os.path.join(d, n) for n in os.listdir(d)
                     if n.startswith(os.path.basename(prefix))])
    return elapsed


def module_call(fn, *args):
    t = time.perf_counter()
    path, _ = fn(scene, camera, *args)
    elapsed = time.perf_counter() - t
    # The placeholder a video lookup leaves beside the file goes too.
    remove(path, path[:-len("0001-0048.mp4")] if path.endswith(".mp4") else None)
    return elapsed


def writing_operator(**kwargs):
    """Stands in for the render: writes the file the host would write, renders nothing."""
    r = scene.render
    name = r.filepath + (f"{scene.frame_start:04d}-{scene.frame_end:04d}.mp4"
                         if kwargs.get("animation") else "")
    with open(name, "wb") as f:
        f.write(b"x")
    return {"FINISHED"}


def module_only(fn, *args):
    real = render.bpy
    render.bpy = types.SimpleNamespace(
        ops=types.SimpleNamespace(render=types.SimpleNamespace(render=writing_operator)))
    try:
        return [module_call(fn, *args) for _ in range(runs * 20)]
    finally:
        render.bpy = real


def compare(name, direct, module, fn, args):
    direct()  # first renders compile shaders and open the encoder: not timed
    module()
    d, m = [], []
    for i in range(runs):
        # Alternating order, so that drift in the machine's speed falls on both sides.
        if i % 2:
            m.append(module()); d.append(direct())
        else:
            d.append(direct()); m.append(module())
    direct_s, module_s = statistics.median(d), statistics.median(m)
    alone_s = statistics.median(module_only(fn, *args))
    target_s = max(0.02 * direct_s, 0.005)
    return {
        "case": name, "runs": runs,
        "direct_render_s": round(direct_s, 4), "module_call_s": round(module_s, 4),
        "difference_s": round(module_s - direct_s, 4),
        "module_overhead_s": round(alone_s, 6),
        "overhead_target_s": round(target_s, 4),
        "within_target": alone_s < target_s,
        "direct_runs_s": [round(x, 4) for x in d], "module_runs_s": [round(x, 4) for x in m],
    }


se = ARGS["snapshot_edge"]
sw, sh = render.resolution_for(se, 16, 9)
ae = ARGS["animation_edge"]
aw, ah = render.resolution_for(ae, 16, 9)
n = ARGS["frames"]
emit({
    "host": bpy.app.version_string,
    "results": [
        compare(f"snapshot {sw}x{sh}", lambda: direct_snapshot(sw, sh),
                lambda: module_call(render.render_snapshot, se, 16, 9),
                render.render_snapshot, (se, 16, 9)),
        compare(f"animation {n} frames {aw}x{ah}", lambda: direct_animation(aw, ah, n),
                lambda: module_call(render.render_animation, ae, 16, 9, 1, n),
                render.render_animation, (ae, 16, 9, 1, n)),
    ],
})
