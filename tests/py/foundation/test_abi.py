"""The shipped modules use the stable ABI only and depend on nothing but the C library."""

import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from tavro_paths import PACKAGE_DIR, ROOT

sys.path.insert(0, str(ROOT / "scripts" / "abi"))
import stable_abi  # noqa: E402

MODULES = ("config", "render", "bridge", "ops")
C_LIBRARY = re.compile(r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux[-\w.]*\.so\.\d)$")

pytestmark = pytest.mark.skipif(shutil.which("nm") is None or not sysconfig.get_platform().startswith("linux"),
                                reason="ELF tools on Linux only")


def stable_abi_symbols():
    """Every symbol of the stable ABI that a POSIX interpreter exports, as the audit reads it."""
    try:
        return stable_abi.symbols("posix")
    except FileNotFoundError as missing:
        pytest.skip(str(missing))


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name", MODULES)
def test_module_is_a_stable_abi_binary(name):
    path = PACKAGE_DIR / f"{name}.abi3.so"
    assert path.exists()
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", str(path)))
    assert needed and all(C_LIBRARY.match(lib) for lib in needed), needed

    allowed = stable_abi_symbols()
    assert "PyModuleDef_Init" in allowed and "PyUnicode_AsUTF8" not in allowed
    undefined = run("nm", "-D", "--undefined-only", str(path)).split("\n")
    python_symbols, other = set(), set()
    for line in filter(None, (l.strip() for l in undefined)):
        kind, symbol = line.split()[-2:]
        if kind == "w":  # weak references the runtime probes for and tolerates missing
            continue
        plain, _, version = symbol.partition("@")
        if not version:
            python_symbols.add(plain)
        else:
            other.add(symbol)
    assert python_symbols <= allowed, sorted(python_symbols - allowed)
    # Everything that is not Python comes from glibc: no C++ runtime, no libgcc_s.
    assert all(re.search(r"@GLIBC_[\d.]+$", s) for s in other), sorted(other)

    exported = [l.split()[-1] for l in run("nm", "-D", "--defined-only", str(path)).splitlines() if l.strip()]
    assert exported == [f"PyInit_{name}"]
