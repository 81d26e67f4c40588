"""The package zip: its name, its contents and the manifest's platform list."""

import importlib.util
import zipfile

import pytest

from tavro_paths import ROOT

spec = importlib.util.spec_from_file_location("zip_addon", ROOT / "scripts" / "packaging" / "zip_addon.py")
zip_addon = importlib.util.module_from_spec(spec)
spec.loader.exec_module(zip_addon)

MANIFEST = 'schema_version = "1.0.0"\nversion = "0.3.1"\nplatforms = ["linux-x64"]\n[permissions]\n'


@pytest.fixture(autouse=True)
def no_strip(monkeypatch):
    monkeypatch.setattr(zip_addon.shutil, "which", lambda name: None)  # the modules are fakes


def fake_package(tmp_path, suffix=".abi3.so"):
    package = tmp_path / "build" / "tavro_blender_uploader"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("bl_info = {}\n")
    (package / "panel.py").write_text("")
    (package / "blender_manifest.toml").write_text(MANIFEST)
    for name in zip_addon.MODULES:
        (package / f"{name}{suffix}").write_bytes(name.encode())
    return package


@pytest.mark.parametrize("system, machine, target", [
    ("Linux", "x86_64", "linux-x64"), ("Linux", "aarch64", "linux-arm64"),
    ("Darwin", "arm64", "macos-arm64"), ("Windows", "AMD64", "windows-x64"),
])
def test_platform_names(system, machine, target):
    assert zip_addon.blender_platform(system, machine) == target


def test_zip_holds_the_package_with_this_platform_only(tmp_path):
    out = zip_addon.write_zip(fake_package(tmp_path), tmp_path / "dist", "macos-arm64")
    assert out == tmp_path / "dist" / "tavro_blender_uploader-0.3.1-macos-arm64.zip"
    assert not out.with_suffix(".zip.part").exists()
    with zipfile.ZipFile(out) as z:
        names = z.namelist()
        manifest = z.read("tavro_blender_uploader/blender_manifest.toml").decode()
        assert z.read("tavro_blender_uploader/ops.abi3.so") == b"ops"
    # The folder first: Blender 3.x's Install with overwrite removes only the entries at the top.
    assert names == ["tavro_blender_uploader/", "tavro_blender_uploader/__init__.py",
                     "tavro_blender_uploader/panel.py",
                     "tavro_blender_uploader/blender_manifest.toml"] + [
        f"tavro_blender_uploader/{m}.abi3.so" for m in zip_addon.MODULES]
    assert manifest == MANIFEST.replace("linux-x64", "macos-arm64")


def test_windows_zips_take_the_pyd_modules(tmp_path):
    out = zip_addon.write_zip(fake_package(tmp_path, ".pyd"), tmp_path / "dist", "windows-x64")
    with zipfile.ZipFile(out) as z:
        assert "tavro_blender_uploader/ops.pyd" in z.namelist()


def test_a_missing_module_stops_the_packing(tmp_path):
    package = fake_package(tmp_path)
    (package / "render.abi3.so").unlink()
    (package / "render.pyd").write_bytes(b"")  # another platform's build is no stand-in
    with pytest.raises(SystemExit, match="expected one compiled module render"):
        zip_addon.write_zip(package, tmp_path / "dist", "linux-x64")
