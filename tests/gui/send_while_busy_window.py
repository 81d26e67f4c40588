# Runs inside a Blender window (tests/gui/window.py): the user's own render job (as F12 starts
# it) is running when a send comes, once as the panel sends (INVOKE in the 3D view) and once as
# a script does; reports what each send said and the user's scene before and after. ARGS: out
# (the user's render output), flag (written once both sends are made; the test then presses Esc).
import os
import types

import bpy

import tavro_blender_uploader as addon

addon.register()
from tavro_blender_uploader import config, ops  # noqa: E402

urls = []
ops.webbrowser = types.SimpleNamespace(open=lambda url: urls.append(url) or True)


def state(scene):
    r = scene.render
    return [r.filepath, r.engine, r.resolution_percentage, r.image_settings.file_format,
            scene.camera.name, scene.frame_start, scene.frame_end, r.use_lock_interface,
            sorted(s.name for s in bpy.data.scenes), sorted(o.name for o in bpy.data.objects)]


def steps():
    window = bpy.context.window_manager.windows[0]
    area = max((a for a in window.screen.areas if a.type == "VIEW_3D"),
               key=lambda a: a.width * a.height)
    region = next(r for r in area.regions if r.type == "WINDOW")
    scene = bpy.context.scene
    bpy.context.preferences.view.render_display_type = "NONE"
    scene.render.filepath = ARGS["out"]
    scene.render.resolution_percentage = 10
    scene.frame_end = 2000
    props = scene.lumo_uploader
    props.source, props.camera = "ANIMATION", "Camera"
    props.resolution = min(config.RESOLUTION_PRESETS, key=lambda row: row[2])[0]
    props.frame_start, props.frame_end = 1, 24
    before = state(scene)

    def send(*how):
        with bpy.context.temp_override(window=window, area=area, region=region):
            try:
                return sorted(bpy.ops.lumo.send_to_canvas(*how))
            except RuntimeError as e:
                return str(e).removeprefix("Error: ").strip()

    with bpy.context.temp_override(window=window, area=area, region=region):
        bpy.ops.render.render("INVOKE_DEFAULT", animation=True)
    for _ in range(100):
        if bpy.app.is_job_running("RENDER"):
            break
        yield 0.1
    sends = dict(panel=send("INVOKE_DEFAULT"), script=send("EXEC_DEFAULT"))
    rendering = bpy.app.is_job_running("RENDER")
    open(ARGS["flag"], "w").close()
    for _ in range(600):
        if not bpy.app.is_job_running("RENDER"):
            break
        yield 0.1
    done(dict(sends, rendering=rendering, urls=len(urls), bridges=len(ops._bridges),
              before=before, after=state(scene)))


drive(steps())
