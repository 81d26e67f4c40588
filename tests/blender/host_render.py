# Runs inside a real Blender host (see render_harness): drives the render module against
# Blender's default scene and reports what it saw. The test process checks the files.
#
# ARGS: {"clips": {name: path}, "work": directory for nothing but this run}
import glob
import os
import tempfile
import traceback
import types

import bpy
import mathutils
from tavro_blender_uploader import render

STAGED = os.path.join(tempfile.gettempdir(), "lumo_stage_*")
staged_before = set(glob.glob(STAGED))
scene = bpy.context.scene
results = {"version": bpy.app.version_string,
           "has_media_type": hasattr(scene.render.image_settings, "media_type"),
           "has_strips": None}


def scene_state(sc):
    """Every setting the module may touch, plus what it must leave alone."""
    r, im = sc.render, sc.render.image_settings
    state = {
        "engine": r.engine, "resolution_x": r.resolution_x, "resolution_y": r.resolution_y,
        "resolution_percentage": r.resolution_percentage, "fps": r.fps,
        "fps_base": round(r.fps_base, 6), "filepath": r.filepath, "file_format": im.file_format,
        "color_mode": im.color_mode,
        "frame_start": sc.frame_start, "frame_end": sc.frame_end,
        "frame_current": sc.frame_current,
        "camera": sc.camera.name if sc.camera else None,
        "film_transparent": r.film_transparent,
        "ff_format": r.ffmpeg.format, "ff_codec": r.ffmpeg.codec,
        "ff_audio": r.ffmpeg.audio_codec,
        "view_transform": sc.view_settings.view_transform,
    }
    if hasattr(im, "media_type"):
        state["media_type"] = im.media_type
    return state


def host_state():
    return {"scenes": [s.name for s in bpy.data.scenes], "active": bpy.context.scene.name,
            "user": scene_state(scene)}


def check(name):
    """Runs one check; an error is reported under its name instead of ending the run."""
    def wrap(fn):
        try:
            results[name] = fn()
        except BaseException as e:  # noqa: BLE001 - reported to the test process
            results[name] = {"error": f"{type(e).__name__}: {e}",
                             "traceback": traceback.format_exc()}
        return fn
    return wrap


def failing_host(exc):
    """The module's view of bpy with a render operator that raises `exc`."""
    def render_op(**kwargs):
        raise exc
    return types.SimpleNamespace(
        ops=types.SimpleNamespace(render=types.SimpleNamespace(render=render_op)),
        data=bpy.data, path=bpy.path, context=bpy.context, app=bpy.app)


def with_failing_render(exc, call):
    real = render.bpy
    render.bpy = failing_host(exc)
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        return f"{type(e).__name__}: {e}"
    finally:
        render.bpy = real
    return None


# A user's scene with settings unlike anything the module writes, so that a setting left
# changed shows up.
r = scene.render
r.resolution_x, r.resolution_y, r.resolution_percentage = 640, 480, 50
r.fps, r.fps_base = 30, 1.001
r.filepath = "//user_out/frame_"
r.image_settings.file_format = "JPEG"
r.image_settings.color_mode = "BW"
r.film_transparent = True
r.ffmpeg.format, r.ffmpeg.codec, r.ffmpeg.audio_codec = "MKV", "MPEG4", "AAC"
scene.frame_start, scene.frame_end, scene.frame_current = 5, 90, 37

# A second camera, looking at the cube from the side; the active camera stays "Camera".
side = bpy.data.objects.new("SideCam", bpy.data.cameras.new("SideCam"))
scene.collection.objects.link(side)
side.location = mathutils.Vector((6.0, -6.0, 4.0))
side.rotation_euler = (-side.location).to_track_quat("-Z", "Y").to_euler()
# The cube turns a quarter over frames 1 to 48, so the animation's frames differ.
cube = bpy.data.objects["Cube"]
cube.rotation_euler = (0.0, 0.0, 0.0)
cube.keyframe_insert("rotation_euler", frame=1)
cube.rotation_euler = (0.0, 0.0, 1.5708)
cube.keyframe_insert("rotation_euler", frame=48)
results["initial"] = host_state()


@check("snapshot_16_9")
def _():
    path, meta = render.render_snapshot(scene, side, 1920, 16, 9)
    return {"path": path, "meta": meta, "after": host_state()}


@check("snapshot_9_16")
def _():
    path, meta = render.render_snapshot(scene, side, 1920, 9, 16)
    return {"path": path, "meta": meta, "after": host_state()}


@check("animation_48")
def _():
    path, meta = render.render_animation(scene, side, 320, 16, 9, 1, 48)
    return {"path": path, "meta": meta, "after": host_state()}


@check("animation_1000")
def _():
    path, meta = render.render_animation(scene, side, 64, 16, 9, 1000, 1)
    return {"path": path, "meta": meta, "after": host_state()}


@check("render_raises")
def _():
    out = {}
    out["snapshot"] = with_failing_render(
        RuntimeError("injected render failure"),
        lambda: render.render_snapshot(scene, side, 64, 16, 9))
    out["snapshot_state"] = host_state()
    out["animation"] = with_failing_render(
        KeyboardInterrupt(), lambda: render.render_animation(scene, side, 64, 16, 9, 1, 4))
    out["animation_state"] = host_state()
    out["transcode"] = with_failing_render(
        RuntimeError("injected render failure"),
        lambda: render.transcode_local_video(ARGS["clips"]["c24_10s"], 64))
    out["transcode_state"] = host_state()
    return out


for clip, edge in (("c24_10s", 64), ("c24_35s", 64), ("portrait", 1280), ("c30_3s", 64),
                   ("c12_2s", 64)):
    @check("transcode_" + clip)
    def _(clip=clip, edge=edge):
        path, meta = render.transcode_local_video(ARGS["clips"][clip], edge)
        return {"path": path, "meta": meta, "after": host_state()}


@check("transcode_unreadable")
def _():
    # A file with a video extension that the host cannot open as a movie.
    bad = ARGS["clips"]["not_a_video"]
    try:
        render.transcode_local_video(bad, 64)
    except BaseException as e:  # noqa: BLE001
        return {"raised": f"{type(e).__name__}: {e}", "after": host_state()}
    return {"raised": None, "after": host_state()}


se_owner = bpy.data.scenes.new("probe")
se_owner.sequence_editor_create()
results["has_strips"] = hasattr(se_owner.sequence_editor, "strips")
probe_strips = (se_owner.sequence_editor.strips if results["has_strips"] else
                se_owner.sequence_editor.sequences)
probe_strip = probe_strips.new_movie(name="probe", filepath=ARGS["clips"]["c24_10s"], channel=1,
                                     frame_start=1)
results["movie_speed_factor"] = hasattr(probe_strip, "speed_factor")
results["effect_input"] = [p.identifier for p in
                           probe_strips.bl_rna.functions["new_effect"].parameters][5]
# A 64 x 36 picture stored with a quarter turn: a host that turns movies reports it 36 x 64.
phone = probe_strips.new_movie(name="phone", filepath=ARGS["clips"]["phone"], channel=2,
                               frame_start=1)
results["turns_movies"] = [phone.elements[0].orig_width, phone.elements[0].orig_height] == [36, 64]
results["filters"] = [i.identifier for i in
                      phone.transform.bl_rna.properties["filter"].enum_items]
results["app_version"] = list(bpy.app.version)
bpy.data.scenes.remove(se_owner)
# Every file the module left in the temporary directory (outputs and placeholders), for the
# test process to remove once it has checked them.
results["staged"] = sorted(set(glob.glob(STAGED)) - staged_before)
emit(results)
