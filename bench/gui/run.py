"""A render as Blender's job against the same render blocking, in real Blender windows (the GUI
hosts of tests/gui/hosts.tsv, under Xvfb with Mesa's software OpenGL); prints one JSON object.

For each host and kind (a 96-frame animation of the default cube turning, a camera going once
round it as a turntable does, a 4 s clip re-encoded through a temporary scene with a movie
strip; white-model Workbench at 1280 x 720, H.264 as the add-on writes it) each configuration
named (CONFIGS; DEFAULT_CONFIGS unless --config) renders in one window, in turn, --repeat
times, after a short warm-up: blocking (`bpy.ops.render.render(animation=True)` from a timer)
or as a job (`'INVOKE_DEFAULT'` from a timer with the window's context) under the settings the
configuration names. Each run gives the wall time (for a job: the call until the job is gone)
and the window's responsiveness meanwhile from a 10 ms timer: ticks per second, the longest
stall and the median interval; the summary per configuration the medians, the longest stall
and `ratio`, the wall time against the blocking render's.

    .venv/bin/python bench/gui/run.py [--host blender-4.3]... [--kind animation]...
                                      [--config job-keep-ui]... [--frames 96] [--repeat 1]
                                      [--shots DIR]
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "gui"))
from window import HOSTS, host_present, run_in_window  # noqa: E402

# name -> the run: blocking or as a job; display: the preference "Render display" (None:
# Blender's default, a new window); lock: "Lock Interface"; shading: the 3D viewport's.
CONFIGS = {
    "blocking": {"mode": "blocking"},
    "job-default": {"mode": "job"},
    "job-default-locked": {"mode": "job", "lock": True},
    "job-keep-ui": {"mode": "job", "display": "NONE"},
    "job-keep-ui-wireframe": {"mode": "job", "display": "NONE", "shading": "WIREFRAME"},
    "job-keep-ui-locked": {"mode": "job", "display": "NONE", "lock": True},
    "job-keep-ui-locked-rendered": {"mode": "job", "display": "NONE", "lock": "rendered"},
    "job-keep-ui-locked-window": {"mode": "job", "display": "NONE", "lock": "window"},
}
# What runs unless --config names others: the blocking render, Blender's defaults, and the
# settings that keep the window live.
DEFAULT_CONFIGS = ("blocking", "job-default", "job-keep-ui", "job-keep-ui-locked")
KINDS = ("animation", "turntable", "video")
GOAL_RATIO = 1.3


def make_clip(folder, seconds, long_edge):
    path = folder / "bench_clip.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size={long_edge}x{long_edge * 9 // 16}:rate=24:duration={seconds}",
                    "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", str(path)],
                   check=True, timeout=120)
    return str(path)


def bench_kind(host, kind, configs, a, work, clip):
    runs = [dict(CONFIGS["blocking"], name="warm-up", frames=4)]
    runs += [dict(CONFIGS[c], name=c) for _ in range(a.repeat) for c in configs]
    args = {"kind": kind, "frames": a.frames, "long_edge": a.long_edge, "clip": clip,
            "work": str(work), "runs": runs}
    with run_in_window(host, HERE / "window_bench.py", args=args, timeout=3600) as win:
        for place, run in enumerate(runs):
            if a.shots and run["mode"] == "job":  # the screen a few seconds into each job
                while win.wait_for_value("job_started", timeout=3600) < place:
                    time.sleep(0.2)
                time.sleep(a.shot_after)
                win.screenshot(a.shots / f"{host}-{kind}-{run['name']}.png")
        report = win.result()
    results = [r for r in report["runs"] if r["name"] != "warm-up"]
    return report["version"], {"summary": summary(results), "runs": results}


def summary(results):
    """Per configuration, over its repeats: the median wall time, its ratio to the blocking
    render's, the median of the responsiveness figures and the longest stall of all."""
    by_name = {}
    for r in results:
        by_name.setdefault(r["name"], []).append(r)
    out = {}
    for name, runs in by_name.items():
        out[name] = {"wall_s": statistics.median(r["wall_s"] for r in runs),
                     "ticks_per_s": statistics.median(r["ticks_per_s"] for r in runs),
                     "median_interval_ms": statistics.median(r["median_interval_ms"] for r in runs),
                     "longest_stall_s": max(r["longest_stall_s"] for r in runs)}
    if "blocking" in out:
        for entry in out.values():
            entry["ratio"] = round(entry["wall_s"] / out["blocking"]["wall_s"], 2)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--host", action="append", choices=list(HOSTS))
    p.add_argument("--kind", action="append", choices=KINDS)
    p.add_argument("--config", action="append", choices=list(CONFIGS))
    p.add_argument("--frames", type=int, default=96)
    p.add_argument("--shots", type=pathlib.Path, help="a folder for screenshots of each job")
    p.add_argument("--shot-after", type=float, default=5.0, help="seconds into the job")
    p.add_argument("--repeat", type=int, default=1, help="runs of each configuration, in turn")
    p.add_argument("--long-edge", type=int, default=1280)
    a = p.parse_args()
    configs = a.config or DEFAULT_CONFIGS
    out = {"benchmark": "gui-render-job", "frames": a.frames, "long_edge": a.long_edge,
           "repeat": a.repeat,
           "goal_ratio": GOAL_RATIO, "hosts": []}
    with tempfile.TemporaryDirectory(prefix="tavro_gui_bench_") as work:
        work = pathlib.Path(work)
        clip = make_clip(work, a.frames / 24, a.long_edge)
        for host in a.host or [h for h in HOSTS if host_present(h)]:
            entry = {"host": host, "kinds": {}}
            for kind in a.kind or KINDS:
                entry["version"], entry["kinds"][kind] = bench_kind(host, kind, configs, a,
                                                                    work, clip)
                print(f"gui-bench: {host} {kind} done", file=sys.stderr, flush=True)
            out["hosts"].append(entry)
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
