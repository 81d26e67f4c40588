"""Where the built package is: $TAVRO_ADDON_DIR, or build/addon of this checkout."""

import os
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
ADDON_DIR = pathlib.Path(os.environ.get("TAVRO_ADDON_DIR", ROOT / "build" / "addon"))
PACKAGE_DIR = ADDON_DIR / "tavro_blender_uploader"
