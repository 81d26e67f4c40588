"""Puts the built package on sys.path for every Python test."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
ADDON_DIR = pathlib.Path(os.environ.get("TAVRO_ADDON_DIR", ROOT / "build" / "addon"))
PACKAGE_DIR = ADDON_DIR / "tavro_blender_uploader"

if str(ADDON_DIR) not in sys.path:
    sys.path.insert(0, str(ADDON_DIR))

# The venv carries the real `bpy` module for the real-Blender tests. Here it would load all of
# Blender into the test process, so importing it fails as it does outside Blender; tests that
# need a host install a fake under this name.
sys.modules.setdefault("bpy", None)
