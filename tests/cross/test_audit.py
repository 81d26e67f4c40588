"""The binary audit catches what would keep a module from loading, or from loading alone,
in a user's Blender: read from real files that zig builds, and judged by the audit's rules."""

import dataclasses
import io
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "abi"))
import audit  # noqa: E402
import binary  # noqa: E402
import stable_abi  # noqa: E402

ZIG = ROOT / ".tools" / "bin" / "zig"
CACHE = {"ZIG_GLOBAL_CACHE_DIR": str(ROOT / "build-cross" / "zig-cache"),
         "ZIG_LOCAL_CACHE_DIR": str(ROOT / "build-cross" / "zig-cache")}
SOURCE = """
#include <stdint.h>
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#define IMPORT __declspec(dllimport)
#else
#define EXPORT __attribute__((visibility("default")))
#define IMPORT
#endif
IMPORT void* PyLong_FromLong(long);
IMPORT void* %(extra_import)s(void*);
EXPORT void* PyInit_probe(void) { return %(extra_import)s(PyLong_FromLong(1)); }
%(extra_export)s
"""
WINDOWS_ABI, POSIX_ABI = stable_abi.symbols("windows"), stable_abi.symbols("posix")


def build(tmp_path, target, extra_import="PyObject_Str", extra_export="", python_dll="python3"):
    """A tiny module built by zig for `target`, linked as the real ones are."""
    src = tmp_path / "probe.c"
    src.write_text(SOURCE % {"extra_import": extra_import, "extra_export": extra_export})
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), **CACHE}
    args = [str(ZIG), "cc", "-target", target, "-shared", "-O3", "-fvisibility=hidden", str(src)]
    if "windows" in target:
        lib = tmp_path / f"lib{python_dll}.a"
        definition = tmp_path / f"{python_dll}.def"
        definition.write_text(f"LIBRARY {python_dll}.dll\nEXPORTS\n    PyLong_FromLong\n    {extra_import}\n")
        machine = "arm64" if target.startswith("aarch64") else "i386:x86-64"
        subprocess.run([str(ZIG), "dlltool", "-m", machine, "-d", str(definition), "-l", str(lib)],
                       check=True, env=env)
        out = tmp_path / "probe.pyd"
        args += [str(lib), "-o", str(out)]
    else:
        out = tmp_path / "probe.abi3.so"
        args += ["-undefined", "dynamic_lookup", "-o", str(out)]
    subprocess.run(args, check=True, env=env)
    return out


def faults(platform, found, abi):
    return audit.module_problems(platform, "probe", found, abi)


needs_zig = pytest.mark.skipif(not ZIG.exists(), reason="zig is installed by scripts/bootstrap")


@needs_zig
def test_windows_module_linked_against_python3_dll_passes_and_python311_does_not(tmp_path):
    good = binary.read(build(tmp_path, "x86_64-windows-gnu"))
    assert good.exports == ["PyInit_probe"]
    assert good.imports["python3.dll"] == {"PyLong_FromLong", "PyObject_Str"}
    assert faults("windows-x64", good, WINDOWS_ABI) == []
    assert faults("windows-arm64", good, WINDOWS_ABI) == ["is PE x64, not PE arm64"]

    versioned = binary.read(build(tmp_path, "x86_64-windows-gnu", python_dll="python311"))
    assert any("needs python311.dll" in f for f in faults("windows-x64", versioned, WINDOWS_ABI))


@needs_zig
def test_windows_extra_export_and_a_symbol_beyond_the_stable_abi_are_faults(tmp_path):
    found = binary.read(build(tmp_path, "aarch64-windows-gnu", extra_import="PyUnicode_AsUTF8",
                              extra_export="EXPORT int helper(void) { return 1; }"))
    assert found.machine == "arm64"
    problems = faults("windows-arm64", found, WINDOWS_ABI)
    assert any("exports more than PyInit_probe: ['helper']" in f for f in problems)
    assert any("beyond the stable ABI: ['PyUnicode_AsUTF8']" in f for f in problems)


@needs_zig
def test_macos_arm64_signature_and_flat_lookups(tmp_path):
    path = build(tmp_path, "aarch64-macos.11.0")
    found = binary.read(path)
    assert (found.min_os, found.signature) == ((11, 0, 0), "ad-hoc")
    assert found.imports[binary.FROM_PYTHON] == {"PyLong_FromLong", "PyObject_Str"}
    assert faults("macos-arm64", found, POSIX_ABI) == []

    # One changed byte of code, as a damaged download would have, breaks the signature.
    data = bytearray(path.read_bytes())
    data[0x1000] ^= 0xFF
    path.write_bytes(bytes(data))
    assert binary.read(path).signature.endswith("does not match its signed hash")



def test_runtime_libraries_blender_does_not_ship_are_faults():
    def pe(*libraries):
        return binary.Binary("PE", "x64", ["PyInit_probe"], list(libraries),
                             {lib: {"x"} for lib in libraries} | {"python3.dll": {"PyLong_FromLong"}})

    assert faults("windows-x64", pe("python3.dll", "KERNEL32.dll", "api-ms-win-crt-heap-l1-1-0.dll"),
                  WINDOWS_ABI) == []
    for foreign in ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "libc++.dll",
                    "VCRUNTIME140.dll", "python311.dll"):
        assert any(foreign in f for f in faults("windows-x64", pe("python3.dll", foreign), WINDOWS_ABI))

    elf = binary.Binary("ELF", "x64", ["PyInit_probe"], ["libstdc++.so.6", "libc.so.6"],
                        {binary.FROM_PYTHON: {"PyLong_FromLong"}, "GLIBCXX_3.4": {"_Znwm"}})
    assert len(faults("linux-x64", elf, POSIX_ABI)) == 2

    def macho(min_os):
        return binary.Binary("Mach-O", "x64", ["PyInit_probe"], ["/usr/lib/libSystem.B.dylib"],
                             {binary.FROM_PYTHON: {"PyLong_FromLong"}, "libSystem": {"aligned_alloc"}},
                             min_os)

    assert any("aligned_alloc" in f for f in faults("macos-x64", macho((10, 13, 0)), POSIX_ABI))
    too_new = faults("macos-x64", macho((10, 15, 0)), POSIX_ABI)
    assert any("newer than (10, 13)" in f for f in too_new)


def zip_of(platform, manifest_platforms, modules_suffix):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("tavro_blender_uploader/__init__.py", 'bl_info = {"blender": (3, 1, 0)}\n')
        z.writestr("tavro_blender_uploader/blender_manifest.toml",
                   f'version = "0.1.0"\nplatforms = {manifest_platforms}\n'.replace("'", '"'))
        for name in audit.MODULES:
            z.writestr(f"tavro_blender_uploader/{name}{modules_suffix}", b"")
    members = {i.filename: zipfile.ZipFile(buffer).read(i) for i in zipfile.ZipFile(buffer).infolist()}
    return audit.zip_problems(pathlib.Path(f"tavro_blender_uploader-0.1.0-{platform}.zip"), members)


def test_zip_holds_its_platforms_modules_and_a_manifest_naming_it_alone():
    assert zip_of("windows-x64", ["windows-x64"], ".pyd") == []
    assert any("manifest" in f for f in zip_of("windows-x64", ["windows-x64", "linux-x64"], ".pyd"))
    problems = zip_of("macos-x64", ["macos-x64"], ".pyd")
    assert any("lacks" in f for f in problems) and any("does not load" in f for f in problems)
