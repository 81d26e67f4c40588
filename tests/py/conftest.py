"""Puts the built package on sys.path for every Python test."""

import sys

from tavro_paths import ADDON_DIR

if str(ADDON_DIR) not in sys.path:
    sys.path.insert(0, str(ADDON_DIR))

# The venv carries the real `bpy` module for the real-Blender tests. Here it would load all of
# Blender into the test process, so importing it fails as it does outside Blender; tests that
# need a host install a fake under this name.
sys.modules.setdefault("bpy", None)
