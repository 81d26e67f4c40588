"""Runs inside Blender: installs the add-on from its zip, sends one asset as a user would, and
keeps Blender alive until the import page has finished with the bridge.

    blender -b --factory-startup --python blender_send.py -- ZIP SOURCE [VIDEO]
"""

import glob
import json
import os
import pathlib
import socket
import sys
import tempfile
import time

import bpy

args = sys.argv[sys.argv.index("--") + 1:]
zip_path, source = args[0], args[1]
video = args[2] if len(args) > 2 else ""
out = pathlib.Path(os.environ["TAVRO_E2E_DIR"])


def say(*parts):
    print("main:", *parts, flush=True)


bpy.ops.preferences.addon_install(filepath=zip_path, overwrite=True)
bpy.ops.preferences.addon_enable(module="tavro_blender_uploader")
say(f"add-on installed from {zip_path} into Blender {bpy.app.version_string}")

scene = bpy.context.scene
props = scene.lumo_uploader
props.source = source
props.resolution = "hd"
props.aspect = "16:9"
props.camera = "Camera"
if source == "ANIMATION":
    props.frame_start, props.frame_end = 1, 48
if source == "VIDEO":
    props.video_path = video
if source == "TURNTABLE":
    # No object chosen: the send takes the active one, the default scene's cube, and the
    # panel's default duration.
    say(f"turntable of the active object {bpy.context.view_layer.objects.active.name!r}, "
        f"{props.turntable_seconds} s")

before = set(glob.glob(os.path.join(tempfile.gettempdir(), "lumo_stage_*")))
result = bpy.ops.lumo.send_to_canvas()
produced = sorted(set(glob.glob(os.path.join(tempfile.gettempdir(), "lumo_stage_*"))) - before,
                  key=os.path.getmtime)
produced = [p for p in produced if os.path.getsize(p) > 0]
say(f"send_to_canvas -> {sorted(result)}; status: {props.status}")
if produced:
    say(f"produced {produced[-1]} ({os.path.getsize(produced[-1])} bytes)")
    (out / "produced.txt").write_text(produced[-1])

url_file = out / "url.txt"
deadline = time.monotonic() + 20
while not url_file.exists() and time.monotonic() < deadline:
    time.sleep(0.1)
if not url_file.exists():
    say("the browser was never opened")
    sys.exit(1)
url = url_file.read_text()
port = int(url.split("#port=", 1)[1].split("&", 1)[0])
say(f"import page opened: {url.split('&token=')[0]}&token=…")

# The bridge runs in this process: wait here until the page's /done has closed it.
deadline = time.monotonic() + 180
while time.monotonic() < deadline:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        time.sleep(0.2)
    except OSError:
        say(f"bridge on port {port} closed")
        break
else:
    say(f"bridge on port {port} still open after 180 s")
    sys.exit(1)
