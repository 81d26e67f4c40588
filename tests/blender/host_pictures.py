# Runs inside a real Blender host (see render_harness): the renders whose pictures the test
# process looks at. Every local clip is normalised in this one process; then a scene with two
# cameras that see different things is rendered through the one that is not active, by the
# module and, for reference, directly by the host.
#
# ARGS: {"clips": {name: [path, long_edge]}, "work": folder for the reference stills}
import math
import os
import traceback

import bpy
from tavro_blender_uploader import render

results = {"version": bpy.app.version_string, "transcodes": {}}

for name, (path, edge) in ARGS["clips"].items():
    try:
        out, meta = render.transcode_local_video(path, edge)
        results["transcodes"][name] = {"path": out, "meta": meta}
    except Exception as e:  # noqa: BLE001 - reported to the test process
        results["transcodes"][name] = {"error": f"{type(e).__name__}: {e}",
                                       "traceback": traceback.format_exc()}

# The default camera keeps looking at the default cube. "Aside" looks the other way, at a
# monkey that travels from its left to its right over frames 1 to 12.
scene = bpy.context.scene
active = scene.camera
aside = bpy.data.objects.new("Aside", bpy.data.cameras.new("Aside"))
scene.collection.objects.link(aside)
aside.location = (0.0, 14.0, 1.0)
aside.rotation_euler = (math.radians(90), 0.0, 0.0)  # looking along +Y, away from the cube
bpy.ops.mesh.primitive_monkey_add(location=(-0.8, 20.0, 1.0))
monkey = bpy.context.active_object
monkey.keyframe_insert("location", frame=1)
monkey.location.x = 0.8
monkey.keyframe_insert("location", frame=12)
scene.frame_set(6)

path, meta = render.render_snapshot(scene, aside, 160, 16, 9)
results["snapshot"] = {"path": path, "meta": meta, "active_after": scene.camera.name}
path, meta = render.render_animation(scene, aside, 160, 16, 9, 1, 12)
results["animation"] = {"path": path, "meta": meta, "active_after": scene.camera.name}

# The same pictures rendered directly by the host with the same settings, for comparison.
r = scene.render
r.engine = "BLENDER_WORKBENCH"
r.resolution_x, r.resolution_y, r.resolution_percentage = 160, 90, 100
r.film_transparent = False
r.image_settings.file_format = "PNG"
if hasattr(r, "use_sequencer"):
    r.use_sequencer = False
refs = {}
for label, camera, frame in (("aside_6", aside, 6), ("active_6", active, 6),
                             ("aside_1", aside, 1), ("aside_12", aside, 12)):
    scene.camera = camera
    scene.frame_set(frame)
    r.filepath = os.path.join(ARGS["work"], label + ".png")
    bpy.ops.render.render(write_still=True)
    refs[label] = r.filepath
results["refs"] = refs
emit(results)
