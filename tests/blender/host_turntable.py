# Runs inside a real Blender host (see render_harness): turntables of an asymmetric object and
# the ways they fail, with the user's scene and the host's data read before and after each.
#
# The object: a bar 4 long along X (its front, seen from -Y, is wide; its side, seen along X,
# narrow) with a tower on its +X end as a child, standing away from the origin. Tall pillars
# stand between it and the camera's orbit in front (a mesh in two collections), behind (a
# collection instance) and on its +X side (in the background scene); a box the user hid from
# renders stands beside it. The default cube is removed. A timeline marker binds the scene's
# camera.
import traceback
import types

import bpy
from tavro_blender_uploader import render

scene = bpy.context.scene
results = {"version": bpy.app.version_string}


def box(name, lo, hi, parent=None, collection=None):
    """A closed box mesh object from corner `lo` to `hi` (in its parent's space), linked into
    `collection` (the scene's own by default)."""
    verts = [(hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2])
             for i in range(8)]
    faces = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    mesh = bpy.data.meshes.new(name)
    mesh.from_pydata(verts, [], faces)
    ob = bpy.data.objects.new(name, mesh)
    (collection or scene.collection).objects.link(ob)
    ob.parent = parent
    return ob


def data_names():
    """The names in every collection of bpy.data (objects, cameras, actions, collections, ...)."""
    out = {}
    for attr in dir(bpy.data):
        value = getattr(bpy.data, attr, None)
        if isinstance(value, bpy.types.bpy_prop_collection):
            out[attr] = sorted(item.name for item in value)
    return out


def user_state():
    """The guarded settings, the current frame, the selection, the active object, the target's
    placement and what the render shows of every object and of the background scene."""
    state = {}
    owners = {"scene": scene, "render": scene.render,
              "image_settings": scene.render.image_settings, "ffmpeg": scene.render.ffmpeg}
    for label in render._GUARDED_SETTINGS:
        owner, name = label.split(".")
        if hasattr(owners[owner], name):
            value = getattr(owners[owner], name)
            state[label] = value.name if isinstance(value, bpy.types.ID) else (
                round(value, 6) if isinstance(value, float) else value)
    active = bpy.context.view_layer.objects.active
    state.update(frame_current=scene.frame_current,
                 selected=sorted(o.name for o in scene.objects if o.select_get()),
                 active=active.name if active else None,
                 bar_matrix=[round(v, 6) for row in bar.matrix_world for v in row],
                 markers=[(m.name, m.frame, m.camera.name if m.camera else None)
                          for m in scene.timeline_markers],
                 hide_render=sorted((o.name, o.hide_render) for o in bpy.data.objects),
                 background_set=scene.background_set and scene.background_set.name)
    return state


def outcome(call):
    """What `call` returned or raised, with the state and data after it."""
    out = {}
    try:
        path, meta = call()
        out.update(path=path, meta=meta)
    except BaseException as e:  # noqa: BLE001 - reported to the test process
        out.update(raised=f"{type(e).__name__}: {e}", traceback=traceback.format_exc())
    out.update(state=user_state(), data=data_names())
    return out


def with_failing_render(exc, call):
    """`call` with the module's view of bpy rendering nothing but raising `exc`."""
    def render_op(**kwargs):
        raise exc
    real = render.bpy
    render.bpy = types.SimpleNamespace(
        ops=types.SimpleNamespace(render=types.SimpleNamespace(render=render_op)),
        data=bpy.data, context=bpy.context, app=bpy.app, path=bpy.path)
    try:
        return call()
    finally:
        render.bpy = real


bpy.data.objects.remove(bpy.data.objects["Cube"])
bar = box("Bar", (0, -0.5, 0), (4, 0.5, 1))
bar.location = (3, 2, 0.5)
box("Tower", (3, -0.5, 1), (4, 0.5, 3), parent=bar)
# The bar's bounds run from (3, 1.5, 0.5) to (7, 2.5, 3.5); each pillar fills the frame's height.
props = bpy.data.collections.new("Props")
scene.collection.children.link(props)
props.objects.link(box("Post", (4.5, -0.5, -10), (5.5, 0.5, 15)))
pieces = bpy.data.collections.new("Pieces")  # not in the scene: shown only through its instance
box("Pillar", (-0.5, -0.5, -10), (0.5, 0.5, 15), collection=pieces)
instance = bpy.data.objects.new("Pillar instance", None)
instance.instance_type, instance.instance_collection = "COLLECTION", pieces
instance.location = (5, 4, 0)
scene.collection.objects.link(instance)
scene.background_set = bpy.data.scenes.new("Set")
box("Wall", (8, 1.5, -10), (8.5, 2.5, 15), collection=scene.background_set.collection)
box("Fence", (2, 0, 0), (8, 0.2, 3)).hide_render = True
bpy.context.view_layer.update()

# A user's scene with settings unlike anything the module writes.
r = scene.render
r.resolution_x, r.resolution_y, r.resolution_percentage = 640, 480, 50
r.fps, r.fps_base = 30, 1.001
r.filepath = "//user_out/frame_"
r.image_settings.file_format = "JPEG"
r.film_transparent = True
r.ffmpeg.format, r.ffmpeg.codec, r.ffmpeg.audio_codec = "MKV", "MPEG4", "AAC"
scene.frame_start, scene.frame_end, scene.frame_current = 5, 90, 37
# A marker that switches to the scene's camera at frame 50, inside the turntable's frames.
scene.timeline_markers.new("cut", frame=50).camera = scene.objects["Camera"]
for ob in scene.objects:
    ob.select_set(ob.name in ("Light", "Bar"))
bpy.context.view_layer.objects.active = scene.objects["Light"]

results["before"] = {"state": user_state(), "data": data_names()}
results["wide"] = outcome(lambda: render.render_turntable(scene, "Bar", 320, 16, 9, 4))
results["tall"] = outcome(lambda: render.render_turntable(scene, "Bar", 128, 9, 16, 1))
results["others"] = outcome(lambda: render.render_turntable(scene, "Bar", 320, 16, 9, 1, True))
for case, target in (("none", ""), ("gone", "Nowhere"), ("light", "Light"),
                     ("camera", "Camera")):
    results["error_" + case] = outcome(
        lambda target=target: render.render_turntable(scene, target, 64, 16, 9, 1))
results["render_raises"] = outcome(lambda: with_failing_render(
    RuntimeError("injected render failure"),
    lambda: render.render_turntable(scene, "Bar", 64, 16, 9, 1)))
results["interrupted"] = outcome(lambda: with_failing_render(
    KeyboardInterrupt(), lambda: render.render_turntable(scene, "Bar", 64, 16, 9, 1)))
emit(results)
