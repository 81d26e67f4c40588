"""A contact sheet of two turntables of a monkey standing beside the default cube, 4 s at
1280 x 720 each: the upper two rows as the panel sends it by default (the monkey alone), the
lower two with "包含场景中的其他对象" ticked. Eight frames each, an eighth of a turn apart, from
the front (-Y) round to the left; ffmpeg's tile filter lays them out.

    .hosts/bpy-5.2/bin/python scripts/turntable_sheet.py [OUT.png]
    blender -b --factory-startup --python scripts/turntable_sheet.py -- [OUT.png]

OUT defaults to docs/turntable-others.png; the add-on is taken from build/addon.
"""

import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build" / "addon"))

import bpy  # noqa: E402
from tavro_blender_uploader import render  # noqa: E402

args = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else sys.argv[1:]
out = pathlib.Path(args[0] if args else ROOT / "docs" / "turntable-others.png").resolve()

bpy.ops.wm.read_factory_settings(use_empty=False)
scene = bpy.context.scene
bpy.ops.mesh.primitive_monkey_add(location=(2, 1, 0.5))
monkey = bpy.context.object.name

with tempfile.TemporaryDirectory() as work:
    rows = []
    for include_others in (False, True):
        path, meta = render.render_turntable(scene, monkey, 1280, 16, 9, 4, include_others)
        rows.append(path)
        print(f"turntable_sheet: include_others={include_others}: {path} {meta}")
    # Frames 0, 12, ..., 84 of each, at a quarter of their size, four to a row.
    tiles = [f"[{i}:v]select='not(mod(n,12))',scale=320:180,tile=4x2[t{i}]" for i in range(2)]
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", rows[0], "-i", rows[1],
                    "-filter_complex", ";".join(tiles) + ";[t0][t1]vstack",
                    "-frames:v", "1", str(out)], check=True, timeout=300)
    for path in rows:
        pathlib.Path(path).unlink()
print(f"turntable_sheet: wrote {out}")
