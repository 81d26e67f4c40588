"""Publishes zips of the add-on as a Blender extension repository folder: each zip checked by
Blender's own validator, copied in, every older version of the same platforms removed (a
repository offers one version per platform), then the index (index.json) and the page
(index.html) written by Blender's own `server-generate`.

A version older than the one the repository offers is refused: Blender updates an installed
extension to whatever other version its repository lists, older ones included, so a repository
that went back would replace users' newer version. A rollback is published as a higher version.

    python3 publish.py OUT_DIR ZIP...

Blender's extension tool comes from a pinned bpy host (.hosts/, or $TAVRO_HOSTS_DIR), whose
index format every Blender from 4.2 reads. Prints the index's path.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOSTS_DIR = pathlib.Path(os.environ.get("TAVRO_HOSTS_DIR", ROOT / ".hosts"))
# The oldest Blender with extensions: what it writes, every later one reads.
PINNED_HOST = "bpy-4.2"
PAGE_TEMPLATE = pathlib.Path(__file__).with_name("repository.html")


def blender_ext():
    """Blender's extension command line tool, as the pinned host ships it."""
    site = HOSTS_DIR / PINNED_HOST / "lib"
    found = sorted(site.glob("python3*/site-packages/bpy/*/scripts/addons_core/bl_pkg/cli/blender_ext.py"))
    if not found:
        sys.exit(f"publish: no blender_ext.py under {site} (scripts/bootstrap installs {PINNED_HOST})")
    return found[-1]


def run_tool(*args):
    out = subprocess.run([sys.executable, str(blender_ext()), *map(str, args)],
                         capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        sys.exit(f"publish: blender_ext.py {args[0]} failed:\n{out.stdout}{out.stderr}")
    return out.stdout


def manifest_of(zip_path):
    """The manifest inside an extension zip, as a dict."""
    with zipfile.ZipFile(zip_path) as z:
        names = [n for n in z.namelist() if n.endswith("/blender_manifest.toml") or
                 n == "blender_manifest.toml"]
        if len(names) != 1:
            raise ValueError(f"{zip_path}: expected one blender_manifest.toml, found {names}")
        return tomllib.loads(z.read(names[0]).decode("utf-8"))


def version_key(version):
    """Orders MAJOR.MINOR.PATCH[-pre][+build] versions; a pre-release before its release."""
    release, _, pre = version.split("+")[0].partition("-")
    return tuple(int(n) for n in release.split(".")), not pre, pre


def publish(out, zips):
    incoming = []
    for path in zips:
        run_tool("validate", path)
        incoming.append((path, manifest_of(path)))
    if len({(m["id"], m["version"]) for _, m in incoming}) != 1:
        sys.exit("publish: the zips must be one version of one extension")
    ext_id, version = incoming[0][1]["id"], incoming[0][1]["version"]
    platforms = {p for _, m in incoming for p in m["platforms"]}

    out.mkdir(parents=True, exist_ok=True)
    replaced = []
    for old in out.glob("*.zip"):
        try:
            m = manifest_of(old)
        except (OSError, ValueError, zipfile.BadZipFile, tomllib.TOMLDecodeError):
            continue  # not ours to judge
        if m.get("id") != ext_id or not platforms & set(m.get("platforms", ())):
            continue
        if version_key(m["version"]) > version_key(version):
            sys.exit(f"publish: the repository already offers {m['version']} ({old.name}), newer "
                     f"than {version}; publish a higher version instead")
        if m["version"] != version:
            replaced.append(old)
    for old in replaced:
        old.unlink()
    for path, _ in incoming:
        target = out / pathlib.Path(path).name
        part = target.with_name(target.name + ".part")
        shutil.copyfile(path, part)
        part.replace(target)
    run_tool("server-generate", "--repo-dir", out, "--html", "--html-template", PAGE_TEMPLATE)
    return out / "index.json"


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    print(publish(pathlib.Path(sys.argv[1]), sys.argv[2:]))
