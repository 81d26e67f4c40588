# Runs inside a Blender window (tests/gui/window.py): sends the default scene from the panel's
# operator as the panel does (INVOKE in the 3D view), lets the test press keys, and reports what
# the user would find afterwards. ARGS: source, frames, end ("complete", "stop": the test presses
# a key or clicks, "load": another file opens mid-render, "disable": the add-on is disabled
# mid-render, "quit": Blender quits mid-render), flag (a file written once frames render; "<flag>.ready" once the panel
# shows, and the send waits for "<flag>.go").
import hashlib
import os
import statistics
import time
import types
import urllib.request

import bpy

import tavro_blender_uploader as addon

addon.register()
from tavro_blender_uploader import config, ops  # noqa: E402

urls = []
ops.webbrowser = types.SimpleNamespace(open=lambda url: urls.append(url) or True)
ticks = []


def tick():
    ticks.append(time.perf_counter())
    return 0.01


def view3d():
    window = bpy.context.window_manager.windows[0]
    area = max((a for a in window.screen.areas if a.type == "VIEW_3D"),
               key=lambda a: a.width * a.height)
    return window, area


def user_state():
    """What the user owns that a send may touch: the scene's render settings, the file's data
    and the preference the job changes."""
    scene = bpy.data.scenes["Scene"]
    r, f = scene.render, scene.render.ffmpeg
    settings = {name: getattr(r, name) for name in (
        "engine", "resolution_x", "resolution_y", "resolution_percentage", "fps", "fps_base",
        "filepath", "film_transparent", "use_lock_interface")}
    settings.update(file_format=r.image_settings.file_format, codec=f.codec, format=f.format,
                    camera=scene.camera.name, frames=[scene.frame_start, scene.frame_end,
                                                      scene.frame_current])
    return dict(settings=settings, scenes=sorted(s.name for s in bpy.data.scenes),
                objects=sorted(o.name for o in bpy.data.objects),
                cameras=sorted(c.name for c in bpy.data.cameras),
                display=bpy.context.preferences.view.render_display_type)


def fetch(url):
    fields = dict(part.split("=", 1) for part in url.split("#", 1)[1].split("&"))
    base = f"http://127.0.0.1:{fields['port']}"
    with urllib.request.urlopen(f"{base}/asset?token={fields['token']}", timeout=30) as r:
        body = r.read()
    done = urllib.request.Request(f"{base}/done?token={fields['token']}", data=b"",
                                  method="POST")
    urllib.request.urlopen(done, timeout=10).close()
    return hashlib.sha256(body).hexdigest()


def steps():
    window, area = view3d()
    area.spaces[0].show_region_ui = True
    props = bpy.context.scene.lumo_uploader
    props.source = ARGS["source"]
    props.camera = "Camera"
    props.resolution = min(config.RESOLUTION_PRESETS, key=lambda row: row[2])[0]
    props.frame_start, props.frame_end = 1, ARGS["frames"]
    props.turntable_seconds = max(1, ARGS["frames"] // config.VIDEO_FPS)
    props.video_path = ARGS.get("video", "")
    # The test may click (the panel's tab) before the send starts.
    open(ARGS["flag"] + ".ready", "w").close()
    for _ in range(100):
        if os.path.exists(ARGS["flag"] + ".go"):
            break
        yield 0.1
    before = user_state()
    bpy.app.timers.register(tick, persistent=True)
    region = next(r for r in area.regions if r.type == "WINDOW")
    with bpy.context.temp_override(window=window, area=area, region=region):
        started = bpy.ops.lumo.send_to_canvas("INVOKE_DEFAULT")
    start = time.perf_counter()
    job = ops._job
    during = dict(lock=job is not None and job["job"].scene.render.use_lock_interface,
                  display=bpy.context.preferences.view.render_display_type)
    second = None
    # A second send while the first renders is refused, from a script as from the panel.
    try:
        second = sorted(bpy.ops.lumo.send_to_canvas())
    except RuntimeError as e:
        second = str(e)
    flagged = False
    while ops._job is not None and time.perf_counter() - start < 600:
        if not flagged and ops._job["written"] >= 3:
            flagged = True
            open(ARGS["flag"], "w").close()
            end = ARGS["end"]
            if end == "load":
                bpy.ops.wm.read_homefile()
            elif end == "disable":
                addon.unregister()
            elif end == "quit":
                emit(dict(before=before))
                bpy.ops.wm.quit_blender()
        yield 0.1
    ended = time.perf_counter()
    bpy.app.timers.unregister(tick)
    window_ticks = [t for t in ticks if start <= t <= ended]
    gaps = [b - a for a, b in zip(window_ticks, window_ticks[1:])] or [ended - start]
    while ARGS["end"] == "disable" and bpy.app.is_job_running("RENDER"):
        yield 0.1
    yield 0.5 + ARGS.get("linger", 0)  # disabled: the add-on's timer takes back after the render
    result = dict(started=sorted(started), during=during, second=second, urls=len(urls),
                  before=before, after=user_state() if ARGS["end"] != "load" else None,
                  display_after=bpy.context.preferences.view.render_display_type,
                  seconds=round(ended - start, 2),
                  ticks_per_second=round(len(window_ticks) / max(ended - start, 1e-6), 1),
                  median_gap=round(statistics.median(gaps), 4), longest_stall=round(max(gaps), 3),
                  bridges=len(ops._bridges), job_left=ops._job is not None,
                  handlers=[len(getattr(bpy.app.handlers, n)) for n in
                            ("render_write", "render_complete", "render_cancel")])
    if urls:
        entry = ops._bridges[0]
        result["sha_file"] = hashlib.sha256(open(entry.path, "rb").read()).hexdigest()
        result["sha_served"] = fetch(urls[0])
    done(result)


drive(steps())
