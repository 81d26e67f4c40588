"""The built package loads in every Python 3.11 here, under its bare name and under the
extension platform's bl_ext prefix, and gives the same results in each."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from tavro_paths import ADDON_DIR, PACKAGE_DIR

PROBE = r"""
import importlib, json, sys
sys.modules["bpy"] = None  # no host API: render must still load
prefix = sys.argv[1]
config = importlib.import_module(prefix + "config")
render = importlib.import_module(prefix + "render")
bridge = importlib.import_module(prefix + "bridge")
assert render.config is config and bridge.config is config, "siblings are not shared"
assert render.bpy is None
try:
    importlib.import_module(prefix + "ops")
    ops_error = None
except ImportError as e:
    ops_error = type(e).__name__
print(json.dumps({
    "config_name": config.__name__,
    "url": config.build_import_url(49152, "tok/en 中", "image"),
    "size": render.resolution_for(1280, 21, 9),
    "ops_error": ops_error,
}))
"""


def interpreters():
    found = []
    for exe in ("/usr/bin/python3", shutil.which("python3"), sys.executable):
        if exe and os.path.exists(exe) and os.path.realpath(exe) not in [os.path.realpath(e) for e in found]:
            found.append(exe)
    return found


def bl_ext_tree(tmp_path):
    """A bl_ext.user_default namespace holding the package, as Blender 4.2+ lays it out."""
    repo = tmp_path / "bl_ext" / "user_default"
    repo.mkdir(parents=True)
    (tmp_path / "bl_ext" / "__init__.py").write_text("")
    (repo / "__init__.py").write_text("")
    os.symlink(PACKAGE_DIR, repo / "tavro_blender_uploader")
    return tmp_path


@pytest.mark.parametrize("exe", interpreters())
def test_loads_under_both_names_with_identical_results(exe, tmp_path):
    results = []
    for path, prefix in ((ADDON_DIR, "tavro_blender_uploader."),
                         (bl_ext_tree(tmp_path), "bl_ext.user_default.tavro_blender_uploader.")):
        env = dict(os.environ, PYTHONPATH=str(path), LUMO_SITE_URL="")
        out = subprocess.run([exe, "-c", PROBE, prefix], env=env, capture_output=True, text=True,
                             timeout=60, check=True).stdout
        result = json.loads(out)
        assert result["config_name"] == prefix + "config"
        assert result["ops_error"] in ("ImportError", "ModuleNotFoundError")
        results.append({k: v for k, v in result.items() if k != "config_name"})
    assert results[0] == results[1]
    assert results[0]["url"].endswith("#port=49152&token=tok%2Fen%20%E4%B8%AD&kind=image")
    assert results[0]["size"] == [1280, 548]


def test_modules_read_config_at_the_moment_of_use(monkeypatch):
    from tavro_blender_uploader import config, render

    monkeypatch.setattr(config, "LOCAL_VIDEO_EXTS", (".xyz",))
    assert render.is_supported_video("a.xyz")


def test_outside_a_package_the_sibling_import_fails_cleanly(tmp_path):
    shutil.copy(PACKAGE_DIR / "config.abi3.so", tmp_path)
    shutil.copy(PACKAGE_DIR / "render.abi3.so", tmp_path)
    code = "import sys; sys.modules['bpy'] = None\ntry:\n import render\nexcept ImportError as e: print(e)"
    out = subprocess.run(["/usr/bin/python3", "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60).stdout
    assert "relative import" in out
