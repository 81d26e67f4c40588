"""Packs a built add-on folder into the zip a Blender user installs with "Install from Disk":
the package's Python files, its compiled modules for one platform (a Linux build without debug
information) and blender_manifest.toml with its platform list set to that platform. Prints the
zip's path.

    python3 zip_addon.py BUILD/addon/tavro_blender_uploader DIST_DIR [PLATFORM]

PLATFORM is a Blender platform name (linux-x64, windows-arm64, macos-x64, ...); this machine's
by default.
"""

import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

MODULES = ("config", "render", "bridge", "ops")


def blender_platform(system=None, machine=None):
    """This machine as the extension platform names it: linux-x64, macos-arm64, ..."""
    system = {"Linux": "linux", "Darwin": "macos", "Windows": "windows"}[system or platform.system()]
    machine = (machine or platform.machine()).lower()
    arch = "arm64" if machine in ("arm64", "aarch64") else "x64"
    return f"{system}-{arch}"


def module_file(package, name, target):
    """The compiled module `name` of the package: name.pyd on Windows, name.abi3.so elsewhere."""
    suffix = ".pyd" if target.startswith("windows") else ".abi3.so"
    found = [p for p in package.iterdir() if p.name == name + suffix]
    if len(found) != 1:
        sys.exit(f"package: expected one compiled module {name} in {package}, found {found}")
    return found[0]


def manifest_for(text, target):
    """The manifest's version and its text with the platform list set to `target` alone."""
    version = re.search(r'^version = "([^"]+)"', text, re.M).group(1)
    return version, re.sub(r"^platforms = .*$", f'platforms = ["{target}"]', text, flags=re.M)


def stripped(src, target, scratch):
    """The module as the user gets it: the native Linux build keeps debug information, so a
    copy goes without it where `strip` is at hand; other builds carry none."""
    if not target.startswith("linux") or not shutil.which("strip"):
        return src
    copy = pathlib.Path(scratch) / src.name
    shutil.copy2(src, copy)
    subprocess.run(["strip", "--strip-debug", str(copy)], check=True)
    return copy


def write_zip(package, dist, target=None):
    """Writes dist/<name>-<version>-<target>.zip (through a .part file) and returns its path."""
    target = target or blender_platform()
    name = package.name
    version, manifest = manifest_for((package / "blender_manifest.toml").read_text(encoding="utf-8"),
                                     target)
    dist.mkdir(parents=True, exist_ok=True)
    out = dist / f"{name}-{version}-{target}.zip"
    tmp = out.with_suffix(".zip.part")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        # The folder's own entry: Blender 3.x's "Install..." with overwrite removes only the
        # top-level entries it lists, and without it would write the new files into the old
        # ones in place, compiled modules that a running Blender has loaded included (a crash).
        z.writestr(zipfile.ZipInfo(f"{name}/"), "")
        for src in sorted(package.glob("*.py")):
            z.write(src, f"{name}/{src.name}")
        z.writestr(f"{name}/blender_manifest.toml", manifest)
        with tempfile.TemporaryDirectory() as scratch:
            for module in MODULES:
                src = stripped(module_file(package, module, target), target, scratch)
                z.write(src, f"{name}/{src.name}")
    tmp.replace(out)
    return out


if __name__ == "__main__":
    print(write_zip(pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), *sys.argv[3:4]))
