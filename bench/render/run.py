"""Render benchmarks in real Blender hosts; each prints one JSON object.

render: the wall time of render_snapshot (1920x1080) and of a 48-frame render_animation against
the same render done directly with bpy.ops.render.render and the same settings in the same
process (median of 5 runs each), plus the module's own cost with the render operator stubbed
out. The module's overhead target: under 2 % of the render or under 5 ms, whichever is larger.

transcode: for generated 3 s clips (transcode_media.CASES), the wall time of
transcode_local_video against the ffmpeg command line with the encoder settings read from the
module's output, alternating in one process, and the PSNR of both outputs against the source
scaled to the output size with lanczos. Goal per case: within 1 dB of ffmpeg and at most 1.3x
its wall time. The same command once more with the picture through 8-bit RGB, as every host's
sequencer takes it (decoded to RGB, scaled there, turned back into YUV for the encoder), gives
what such a pipeline can reach with ffmpeg's own converters and scaler (`rgb_db`).

    .venv/bin/python bench/render/run.py [render] [--host H]... [--runs 5] [--animation-edge 1280]
    .venv/bin/python bench/render/run.py transcode [--host H]... [--case C]... [--short]
"""

import argparse
import json
import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "blender"))
from render_harness import available_hosts, run_in_host  # noqa: E402

import transcode_media as media  # noqa: E402

GOAL_DB, GOAL_RATIO = 1.0, 1.3
# How far from the goal a case may be and still count as reached: dB, time ratio, seconds.
TOLERANCE = 1.5, 1.5, 0.5


def render_suite(a):
    args = {"runs": a.runs, "snapshot_edge": a.snapshot_edge,
            "animation_edge": a.animation_edge, "frames": a.frames}
    out = {"benchmark": "render", "hosts": []}
    for host in a.host or available_hosts():
        report = run_in_host(host, HERE / "host_bench.py", args=args, timeout=1800)
        out["hosts"].append(dict(report, harness_host=host))
    return out


def transcode_suite(a):
    media_dir = pathlib.Path(a.media or tempfile.gettempdir()) / "tavro_transcode_sources"
    media_dir.mkdir(parents=True, exist_ok=True)
    names = a.case or list(media.CASES)
    cases = {n: [media.make_source(media_dir, n), media.CASES[n][5], media.CASES[n][6]]
             for n in names}
    runs = 1 if a.short else a.runs
    out = {"benchmark": "transcode", "runs": runs, "goal": {"db": GOAL_DB, "ratio": GOAL_RATIO},
           "tolerance": dict(zip(("db", "ratio", "plus_s"), TOLERANCE)), "hosts": []}
    measured = {}
    for host in a.host or available_hosts():
        with tempfile.TemporaryDirectory(prefix="tavro_transcode_") as work:
            report = run_in_host(host, HERE / "host_transcode.py", timeout=3600,
                                 args={"bench": str(HERE), "work": work, "cases": cases,
                                       "runs": runs}, env={"TMPDIR": work})
            for r in report["results"]:
                src, _, size = cases[r["case"]]
                frames, rate = r["meta"]["frames"], media.CASES[r["case"]][2]
                got = (r["meta"]["width"], r["meta"]["height"])
                if got != tuple(size):  # a wrong picture has no PSNR worth reporting
                    r.update(error=f"module output {got[0]}x{got[1]}, not {size[0]}x{size[1]}",
                             module_db=0.0, ffmpeg_db=0.0, rgb_db=0.0)
                for side in ("module", "ffmpeg", "rgb"):
                    path = r.pop(f"{side}_output")
                    if "error" in r:
                        continue
                    # ffmpeg's outputs depend only on the case and the settings, the same in
                    # every host: measured once.
                    key = (side, r["case"], json.dumps(r["x264"], sort_keys=True))
                    if side == "module" or key not in measured:
                        measured[key] = round(media.psnr(path, src, size, frames, rate), 2)
                    r[f"{side}_db"] = measured[key]
                r["gap_db"] = round(r["ffmpeg_db"] - r["module_db"], 2)
                r["gap_to_rgb_db"] = round(r["rgb_db"] - r["module_db"], 2)
                r["ratio"] = round(r["module_s"] / r["ffmpeg_s"], 2)
                r["meets_goal"] = r["gap_db"] <= GOAL_DB and r["ratio"] <= GOAL_RATIO
                db, ratio, extra = TOLERANCE
                r["within_tolerance"] = (r["gap_db"] <= db
                                         and r["module_s"] <= ratio * r["ffmpeg_s"] + extra)
                print(f"{host:12} {r['case']:15} {r['module_db']:6.2f} / {r['ffmpeg_db']:6.2f} dB"
                      f" (gap {r['gap_db']:5.2f}; through RGB {r['rgb_db']:6.2f})"
                      f"  {r['module_s']:6.2f} / {r['ffmpeg_s']:6.2f} s"
                      f" ({r['ratio']:.2f}x)", file=sys.stderr, flush=True)
        out["hosts"].append(dict(report, harness_host=host))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("suite", nargs="?", choices=["render", "transcode"], default="render")
    ap.add_argument("--host", action="append", choices=available_hosts(),
                    help="host to measure (repeatable; default: every host present)")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per side (transcode: 3)")
    ap.add_argument("--snapshot-edge", type=int, default=1920)
    ap.add_argument("--animation-edge", type=int, default=1280)
    ap.add_argument("--frames", type=int, default=48)
    ap.add_argument("--case", action="append", choices=list(media.CASES),
                    help="transcode case (repeatable; default: all)")
    ap.add_argument("--short", action="store_true", help="transcode: one timed run per side")
    ap.add_argument("--media", help="transcode: where the generated sources are kept")
    a = ap.parse_args()
    if a.suite == "transcode" and "--runs" not in sys.argv:
        a.runs = 3
    print(json.dumps((transcode_suite if a.suite == "transcode" else render_suite)(a), indent=2))


if __name__ == "__main__":
    main()
