"""Runs inside Blender: loads the built package and prints its configuration."""

import os
import sys

import bpy

sys.path.insert(0, os.environ["TAVRO_ADDON_DIR"])
from tavro_blender_uploader import bridge, config, ops, render  # noqa: E402

print(f"tavro: Blender {bpy.app.version_string}, Python {sys.version.split()[0]}")
print(f"tavro: modules {', '.join(m.__name__ for m in (config, render, bridge, ops))}")
for name in [n for n in vars(config) if n.isupper()]:
    print(f"  {name} = {getattr(config, name)!r}")
print(f"  site_url() = {config.site_url()!r}")
print(f"  build_import_url(49152, 'token', 'image') = {config.build_import_url(49152, 'token', 'image')!r}")
print(f"  resolution_for(1920, 16, 9) = {render.resolution_for(1920, 16, 9)!r}")
