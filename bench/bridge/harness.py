"""What the bridge benchmarks share: the built bridge module and a scratch asset."""

import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
MIB = 1048576


def import_bridge():
    """The bridge module of the built add-on (or of TAVRO_ADDON_DIR), outside Blender."""
    sys.path.insert(0, os.environ.get("TAVRO_ADDON_DIR", str(ROOT / "build" / "addon")))
    sys.modules.setdefault("bpy", None)
    from tavro_blender_uploader import bridge

    return bridge


def scratch_asset(name, mib):
    """A file of `mib` MiB of random bytes in a fresh temporary folder."""
    asset = pathlib.Path(tempfile.mkdtemp()) / name
    with open(asset, "wb") as f:
        block = os.urandom(MIB)
        for _ in range(mib):
            f.write(block)
    return asset
