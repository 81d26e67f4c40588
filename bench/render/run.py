"""Render benchmark: in real Blender, the wall time of render_snapshot (1920x1080) and of a
48-frame render_animation against the same render done directly with bpy.ops.render.render and
the same settings in the same process (median of 5 runs each), plus the module's own cost with
the render operator stubbed out. The module's overhead target: under 2 % of the render or under
5 ms, whichever is larger. Prints one JSON object.

    .venv/bin/python bench/render/run.py [--host blender-3.4|bpy-5.0] [--runs 5]
        [--animation-edge 1280]
"""

import argparse
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "blender"))
from render_harness import available_hosts, run_in_host  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", action="append", choices=available_hosts(),
                    help="host to measure (repeatable; default: every host present)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--snapshot-edge", type=int, default=1920)
    ap.add_argument("--animation-edge", type=int, default=1280)
    ap.add_argument("--frames", type=int, default=48)
    a = ap.parse_args()
    args = {"runs": a.runs, "snapshot_edge": a.snapshot_edge,
            "animation_edge": a.animation_edge, "frames": a.frames}
    out = {"benchmark": "render", "hosts": []}
    for host in a.host or available_hosts():
        report = run_in_host(host, pathlib.Path(__file__).with_name("host_bench.py"), args=args,
                             timeout=1800)
        out["hosts"].append(dict(report, harness_host=host))
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
