"""The README's main job end to end: Blender, the add-on from its zip, the bridge, the import
page in Chromium and the dev site, for each kind of asset."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(not shutil.which("blender") or not os.access("/usr/bin/chromium", os.X_OK),
                    reason="needs Debian's blender and chromium")
@pytest.mark.parametrize("kind", ["snapshot", "animation", "video"])
def test_main_job_delivers_an_identical_file(kind):
    out = subprocess.run([str(ROOT / "scripts" / "main"), kind], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    lines = [l for l in out.stdout.splitlines() if l.startswith("main:")]
    text = "\n".join(lines)
    assert "send_to_canvas -> ['FINISHED']" in text
    assert "import page finished in state 'done'" in text
    assert "bridge on port" in text and "closed" in text
    assert ": True" in lines[-2]  # the stored upload is byte-identical to the produced file
