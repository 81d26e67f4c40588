# Runs inside a real Blender window (bench/gui/run.py, through tests/gui/window.py): renders one
# kind of video several times, blocking and as Blender's render job under the settings each run
# names, while a 10 ms timer measures the window's event loop. Emits one result per run.
#
# ARGS: {"kind": "animation" | "turntable" | "video", "frames": 96, "long_edge": 1280,
#        "clip": the source of "video", "work": a folder for the outputs,
#        "runs": [{"name", "mode": "blocking" | "job", "display", "lock", "shading"}, ...]}
# display: the preference "Render display" (NONE keeps the interface); lock: "Lock Interface"
# of both the rendered scene and the window's (True), or of one ("rendered", "window"); shading:
# the 3D viewport's shading type (None: as it is).
import glob
import math
import os
import statistics
import time

import bpy
from tavro_blender_uploader import render as addon_render

TICK = 0.01
FPS = 24
ticks = []


def tick():
    ticks.append(time.perf_counter())
    return TICK


def window():
    return bpy.context.window_manager.windows[0]


def viewport():
    area = next(a for a in window().screen.areas if a.type == "VIEW_3D")
    return area, next(r for r in area.regions if r.type == "WINDOW")


def white_model(scene, frames):
    addon_render._apply_workbench(scene, *size(16, 9))
    scene.frame_start, scene.frame_end = 1, frames


def size(w, h):
    edge = ARGS["long_edge"]
    return (edge, edge * h // w // 2 * 2) if w >= h else (edge * w // h // 2 * 2, edge)


def linear_keys():
    bpy.context.preferences.edit.keyframe_new_interpolation_type = "LINEAR"


def setup_animation(scene, frames):
    """The default cube turning once: a user's animation."""
    white_model(scene, frames)
    linear_keys()
    cube = bpy.data.objects["Cube"]
    for frame, angle in ((1, 0.0), (frames, 2 * math.pi)):
        cube.rotation_euler.z = angle
        cube.keyframe_insert("rotation_euler", index=2, frame=frame)
    return scene


def setup_turntable(scene, frames):
    """A camera of its own going once round the cube, as a turntable's."""
    white_model(scene, frames)
    linear_keys()
    pivot = bpy.data.objects.new("BenchPivot", None)
    scene.collection.objects.link(pivot)
    camera = bpy.data.objects.new("BenchOrbit", bpy.data.cameras.new("BenchOrbit"))
    scene.collection.objects.link(camera)
    camera.parent = pivot
    camera.location = (0.0, -9.0, 3.3)
    camera.rotation_euler = (math.radians(70), 0.0, 0.0)
    for frame, angle in ((1, 0.0), (frames + 1, 2 * math.pi)):
        pivot.rotation_euler.z = angle
        pivot.keyframe_insert("rotation_euler", index=2, frame=frame)
    scene.camera = camera
    return scene


def setup_video(_scene, frames):
    """The clip re-encoded through a temporary scene holding nothing but a movie strip."""
    scene = bpy.data.scenes.new("BenchTranscode")
    editor = scene.sequence_editor_create()
    strips = editor.strips if hasattr(editor, "strips") else editor.sequences
    strips.new_movie(name="src", filepath=ARGS["clip"], channel=1, frame_start=1)
    scene.render.resolution_x, scene.render.resolution_y = size(16, 9)
    scene.render.resolution_percentage = 100
    scene.frame_start, scene.frame_end = 1, frames
    return scene


SETUP = {"animation": setup_animation, "turntable": setup_turntable, "video": setup_video}


def responsiveness(start, end):
    """Timer ticks per second, the longest gap and the median gap between start and end, the
    two ends counted as ticks."""
    inside = [t for t in ticks if start < t < end]
    points = [start] + inside + [end]
    gaps = [b - a for a, b in zip(points, points[1:])]
    return {"ticks_per_s": round(len(inside) / (end - start), 1),
            "longest_stall_s": round(max(gaps), 3),
            "median_interval_ms": round(1000 * statistics.median(gaps), 1)}


class Bench:
    def __init__(self):
        self.scene = SETUP[ARGS["kind"]](bpy.context.scene, ARGS["frames"])
        self.runs = list(ARGS["runs"])
        self.results = []
        self.prefix = os.path.join(ARGS["work"], f"bench_{ARGS['kind']}_")
        addon_render._apply_video_output(self.scene, self.prefix)
        self.scene.render.fps = FPS
        self.finished = None
        bpy.app.handlers.render_complete.append(self.on_end)
        bpy.app.handlers.render_cancel.append(self.on_end)

    def on_end(self, *_):
        self.finished = time.perf_counter()

    def configure(self, run):
        prefs = bpy.context.preferences.view
        self.saved_display = prefs.render_display_type
        if run.get("display"):
            prefs.render_display_type = run["display"]
        lock = run.get("lock")
        self.scene.render.use_lock_interface = lock in (True, "rendered")
        window().scene.render.use_lock_interface = lock in (True, "window")
        area, _ = viewport()
        if run.get("shading"):
            area.spaces.active.shading.type = run["shading"]

    def render_args(self):
        return {"animation": True, "scene": self.scene.name}

    def start(self, run):
        self.configure(run)
        self.scene.frame_end = run.get("frames", ARGS["frames"])
        self.finished = None
        self.t0 = time.perf_counter()
        if run["mode"] == "blocking":
            bpy.ops.render.render(**self.render_args())
            self.t1 = time.perf_counter()
            return None
        area, region = viewport()
        with bpy.context.temp_override(window=window(), area=area, region=region):
            self.invoked = list(bpy.ops.render.render("INVOKE_DEFAULT", **self.render_args()))
        emit({"job_started": len(self.results)})  # its place in ARGS["runs"]
        return self.wait

    def wait(self):
        """Polled until the job has ended: the end is the first look that finds it gone."""
        if bpy.app.is_job_running("RENDER") or self.finished is None:
            if time.perf_counter() - self.t0 > 600:
                raise RuntimeError("the render job did not end within 600 s")
            return False
        self.t1 = time.perf_counter()
        return True

    def record(self, run):
        outputs = glob.glob(self.prefix + "*")
        result = {"name": run["name"], "mode": run["mode"], "display": run.get("display"),
                  "lock": run.get("lock", False), "shading": run.get("shading"),
                  "wall_s": round(self.t1 - self.t0, 2),
                  "output_bytes": sum(os.path.getsize(p) for p in outputs)}
        if run["mode"] == "job":
            result["invoked"] = self.invoked
            result["render_end_s"] = round((self.finished or self.t1) - self.t0, 2)
        result.update(responsiveness(self.t0, self.t1))
        for p in outputs:
            os.remove(p)
        bpy.context.preferences.view.render_display_type = self.saved_display
        self.results.append(result)
        print("window-bench:", result, flush=True)

    def steps(self):
        """A generator the driver timer advances: one render at a time, a pause between."""
        for run in self.runs:
            waiter = self.start(run)
            while waiter is not None and not waiter():
                yield 0.01
            self.record(run)
            yield 1.0
        done({"version": bpy.app.version_string, "kind": ARGS["kind"], "runs": self.results})


def main():
    bench = Bench()
    steps = bench.steps()

    def drive():
        try:
            return next(steps)
        except StopIteration:
            return None

    bpy.app.timers.register(tick, first_interval=TICK, persistent=True)
    bpy.app.timers.register(drive, first_interval=2.0)


main()
