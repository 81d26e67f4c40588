"""A user scene that also holds video-editing strips still renders its 3D view as the white
model, and gets its sequencer setting back."""

import pytest

from render_harness import host_params, run_in_host

SCRIPT = r"""
import os
import bpy
from tavro_blender_uploader import render

scene = bpy.context.scene
ed = scene.sequence_editor_create()
strips = ed.strips if hasattr(ed, "strips") else ed.sequences
try:
    red = strips.new_effect(name="red", type="COLOR", channel=1, frame_start=1, length=250)
except TypeError:  # Blender 3.x names the end instead of the length
    red = strips.new_effect(name="red", type="COLOR", channel=1, frame_start=1, frame_end=250)
red.color = (1.0, 0.0, 0.0)
before = scene.render.use_sequencer
path, meta = render.render_snapshot(scene, scene.camera, 64, 1, 1)
img = bpy.data.images.load(path)
px = list(img.pixels)
n = len(px) // 4
# Red after any view transform: strong red, well above green and blue (the white model is grey).
red_pixels = sum(1 for i in range(n) if px[4 * i] > 0.4 and px[4 * i] > 2 * max(px[4 * i + 1], px[4 * i + 2]))
emit({"before": before, "after": scene.render.use_sequencer, "red_share": red_pixels / n})
os.unlink(path)
"""


@pytest.mark.parametrize("host", host_params())
def test_snapshot_renders_the_3d_view_with_strips_in_the_scene(host):
    got = run_in_host(host, SCRIPT)
    assert got["before"] is True and got["after"] is True
    assert got["red_share"] < 0.01
