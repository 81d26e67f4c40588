# Runs inside a real Blender host (started by bench/render/run.py through the test harness).
#
# For each case: transcode_local_video against the ffmpeg command line with the encoder
# settings read from the module's own output, alternating in one process, and once more through
# an 8-bit RGB picture as a sequencer takes it; the outputs of the last run of each stay for the
# PSNR measure in the calling process.
# ARGS: {"bench": folder of transcode_media.py, "work": folder,
#        "cases": {name: [source, long_edge, output size]}, "runs": n}
import os
import statistics
import subprocess
import sys
import time

import bpy
from tavro_blender_uploader import render

sys.path.insert(0, ARGS["bench"])
import transcode_media as media  # noqa: E402

work, runs = ARGS["work"], ARGS["runs"]


def module_run(src, edge):
    t = time.perf_counter()
    path, meta = render.transcode_local_video(src, edge)
    return time.perf_counter() - t, path, meta


def ffmpeg_run(command):
    t = time.perf_counter()
    subprocess.run(command, check=True, timeout=900)
    return time.perf_counter() - t


results = []
for name, (src, edge, size) in ARGS["cases"].items():
    # The first run opens the decoder and encoder libraries; not timed.
    _, path, meta = module_run(src, edge)
    options = media.x264_options(path)
    settings = dict(media.encoder_settings(options), preset=media.preset_of(options, work))
    stored = media.CASES[name][1]
    theirs = os.path.join(work, f"{name}_ffmpeg.mp4")
    scale = tuple(size) != tuple(stored)
    command = media.ffmpeg_command(src, theirs, size, settings, scale)
    ffmpeg_run(command)
    through_rgb = os.path.join(work, f"{name}_ffmpeg_rgb.mp4")
    rgb_s = ffmpeg_run(media.ffmpeg_command(src, through_rgb, size, settings, scale, rgb=True))
    module_times, ffmpeg_times = [], []
    for i in range(runs):
        os.remove(path)
        # Alternating order, so that drift in the machine's speed falls on both sides.
        if i % 2:
            ffmpeg_s = ffmpeg_run(command)
            module_s, path, meta = module_run(src, edge)
        else:
            module_s, path, meta = module_run(src, edge)
            ffmpeg_s = ffmpeg_run(command)
        module_times.append(module_s)
        ffmpeg_times.append(ffmpeg_s)
    results.append({
        "case": name, "module_output": path, "ffmpeg_output": theirs, "rgb_output": through_rgb,
        "meta": meta, "rgb_s": round(rgb_s, 3),
        "x264": settings, "ffmpeg_command": " ".join(command[3:]),
        "module_s": round(statistics.median(module_times), 3),
        "ffmpeg_s": round(statistics.median(ffmpeg_times), 3),
        "module_runs_s": [round(x, 3) for x in module_times],
        "ffmpeg_runs_s": [round(x, 3) for x in ffmpeg_times],
    })
emit({"host": bpy.app.version_string, "results": results})
