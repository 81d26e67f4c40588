"""The built package loads inside every real Blender host (render_harness.HOSTS) under its
bare name and under the extension platform's bl_ext prefix, with the same results as under the
system Python."""

import json
import os
import shutil
import subprocess

import pytest

from render_harness import ADDON_DIR, host_command, host_params

PROBE = r"""
import importlib, json, os, sys
import bpy
sys.path.insert(0, os.environ["PROBE_PATH"])
prefix = os.environ["PROBE_PREFIX"]
if prefix.startswith("bl_ext."):
    # Blender 4.2+ has a bl_ext package of its own: lay the test repository into its path.
    import bl_ext
    ours = os.path.join(os.environ["PROBE_PATH"], "bl_ext")
    path = getattr(bl_ext, "__path__", None)
    if path is None:  # a bare namespace module until repositories are set up
        bl_ext.__path__ = path = []
    if ours not in list(path):
        path.append(ours)
        repo = sys.modules.get("bl_ext.user_default")
        if repo is not None:
            repo.__path__.append(os.path.join(ours, "user_default"))
mods = {n: importlib.import_module(prefix + n) for n in ("config", "render", "bridge", "ops")}
config, render = mods["config"], mods["render"]
assert all(m.config is config for n, m in mods.items() if n != "config")
assert render.bpy is bpy and mods["ops"].bpy is bpy
print("PROBE " + json.dumps({
    "url": config.build_import_url(49152, "tok/en 中", "image"),
    "size": render.resolution_for(1280, 21, 9),
    "name": config.__name__,
}))
"""


def bl_ext_tree(tmp_path):
    repo = tmp_path / "bl_ext" / "user_default"
    repo.mkdir(parents=True)
    (tmp_path / "bl_ext" / "__init__.py").write_text("")
    (repo / "__init__.py").write_text("")
    shutil.copytree(ADDON_DIR / "tavro_blender_uploader", repo / "tavro_blender_uploader")
    return tmp_path


def run_probe(host, path, prefix, script):
    env = dict(os.environ, PROBE_PATH=str(path), PROBE_PREFIX=prefix, LUMO_SITE_URL="")
    out = subprocess.run(host_command(host, script), env=env, capture_output=True, text=True, timeout=180)
    lines = [l for l in out.stdout.splitlines() if l.startswith("PROBE ")]
    assert lines, out.stdout[-2000:] + out.stderr[-2000:]
    return json.loads(lines[-1][6:])


@pytest.mark.parametrize("host", host_params())
def test_package_loads_in_blender_under_both_names(host, tmp_path):
    script = tmp_path / "probe.py"
    script.write_text(PROBE)
    bare = run_probe(host, ADDON_DIR, "tavro_blender_uploader.", script)
    ext = run_probe(host, bl_ext_tree(tmp_path), "bl_ext.user_default.tavro_blender_uploader.", script)
    assert ext["name"] == "bl_ext.user_default.tavro_blender_uploader.config"
    assert bare["url"] == ext["url"] == (
        "https://canvas.example.com/import/blender#port=49152&token=tok%2Fen%20%E4%B8%AD&kind=image")
    assert bare["size"] == ext["size"] == [1280, 548]
