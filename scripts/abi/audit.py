#!/usr/bin/env python3
"""Audits add-on zips before they reach users: each holds the registration layer, a manifest
naming exactly its platform, and the four modules built for that platform, each exporting its
PyInit_<name> alone and importing nothing but the CPython stable ABI (python3.dll on Windows,
never python3XX.dll) and the operating system's own libraries.

    audit.py [--symbols] ZIP...     prints what each module imports; exit status 1 on a fault
"""

import ast
import dataclasses
import pathlib
import re
import sys
import tempfile
import tomllib
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import binary  # noqa: E402
import stable_abi  # noqa: E402

PACKAGE = "tavro_blender_uploader"
MODULES = ("config", "render", "bridge", "ops")


@dataclasses.dataclass(frozen=True)
class Target:
    format: str
    machine: str
    suffix: str
    oldest_os: tuple = None  # the oldest macOS a supported Blender runs on there
    signed: bool = False  # the kernel runs only signed code (ad hoc will do)


TARGETS = {
    "windows-x64": Target("PE", "x64", ".pyd"),
    "windows-arm64": Target("PE", "arm64", ".pyd"),
    # Blender 3.x: macOS 10.13 on Intel, 11.0 on Apple Silicon; later Blenders ask for more.
    "macos-x64": Target("Mach-O", "x64", ".abi3.so", oldest_os=(10, 13)),
    "macos-arm64": Target("Mach-O", "arm64", ".abi3.so", oldest_os=(11, 0), signed=True),
    "linux-x64": Target("ELF", "x64", ".abi3.so"),
}

# Libraries every user's system has. Windows: the kernel, sockets and the Universal C Runtime
# (part of Windows 10 and later); macOS: libSystem; Linux: glibc.
SYSTEM_LIBRARIES = {
    "PE": re.compile(r"^(kernel32|ws2_32|mswsock|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$", re.I),
    "Mach-O": re.compile(r"^/usr/lib/libSystem\.B\.dylib$"),
    "ELF": re.compile(r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux[-\w.]*\.so\.\d)$"),
}
# Where a module's Python symbols come from, and how the rest are named in its import lists.
PYTHON_SOURCE = {"PE": "python3.dll", "Mach-O": binary.FROM_PYTHON, "ELF": binary.FROM_PYTHON}
SYSTEM_IMPORTS = {
    "PE": SYSTEM_LIBRARIES["PE"],
    "Mach-O": re.compile(r"^libSystem$"),  # llvm-objdump's short name of the library
    "ELF": re.compile(r"^GLIBC_[\d.]+$"),  # symbol versions: everything else is glibc's
}
# libSystem functions newer than the oldest macOS of a supported Blender, found by reviewing the
# modules' imports: a module bound to one ends the host where the function is missing.
LIBSYSTEM_SINCE = {"aligned_alloc": (10, 15)}
# The image-header symbols zig's Mach-O linker adds to every dylib and offers no way to hide.
LINKER_EXPORTS = {"Mach-O": {"_mh_dylib_header", "__dso_handle"}}


def module_problems(platform, name, found, abi):
    """Faults of one module `found` (a binary.Binary) built for `platform`."""
    target = TARGETS[platform]
    problems = []
    if (found.format, found.machine) != (target.format, target.machine):
        problems.append(f"is {found.format} {found.machine}, not {target.format} {target.machine}")
    extra = set(found.exports) - {f"PyInit_{name}"} - LINKER_EXPORTS.get(found.format, set())
    if f"PyInit_{name}" not in found.exports:
        problems.append(f"does not export PyInit_{name}")
    if extra:
        problems.append(f"exports more than PyInit_{name}: {sorted(extra)[:10]}")
    python = PYTHON_SOURCE[found.format]
    for library in found.libraries:
        if library != python and not SYSTEM_LIBRARIES[found.format].match(library):
            problems.append(f"needs {library}, which is neither the stable ABI nor the system's")
    for source, symbols in found.imports.items():
        if source == python:
            outside = symbols - abi
            if outside:
                problems.append(f"imports from {source} beyond the stable ABI: {sorted(outside)}")
        elif source != binary.UNUSED and not SYSTEM_IMPORTS[found.format].match(source):
            problems.append(f"imports {sorted(symbols)[:10]} from {source}")
    if not found.imports.get(python):
        problems.append(f"imports nothing from {python}")
    for symbol in found.imports.get("libSystem", ()):
        if target.oldest_os and LIBSYSTEM_SINCE.get(symbol, (0,)) > target.oldest_os:
            problems.append(f"binds {symbol}, which macOS has only from {LIBSYSTEM_SINCE[symbol]}")
    if target.oldest_os and (found.min_os is None or found.min_os[:2] > target.oldest_os):
        problems.append(f"asks for macOS {found.min_os}, newer than {target.oldest_os}")
    if found.signature not in (None, "ad-hoc") or (target.signed and found.signature is None):
        problems.append(f"code signature: {found.signature or 'none'}")
    return problems


def name_parts(path):
    """(version, platform) from the zip's name, or None when it is not named as it should be."""
    match = re.fullmatch(rf"{PACKAGE}-(.+)-([a-z]+-[a-z0-9]+)\.zip", path.name)
    return match.groups() if match and match.group(2) in TARGETS else None


def zip_problems(path, members):
    """Faults of the zip's layout, manifest and bl_info; `members` maps names to bytes."""
    if not name_parts(path):
        return [f"not named {PACKAGE}-<version>-<platform>.zip"]
    version, platform = name_parts(path)
    problems = []
    expected = {f"{PACKAGE}/{m}{TARGETS[platform].suffix}" for m in MODULES}
    expected |= {f"{PACKAGE}/__init__.py", f"{PACKAGE}/blender_manifest.toml"}
    missing = expected - members.keys()
    if missing:
        problems.append(f"lacks {sorted(missing)}")
    strays = [n for n in members if not n.startswith(f"{PACKAGE}/") or
              (n.endswith((".so", ".pyd", ".dll", ".dylib")) and n not in expected)]
    if strays:
        problems.append(f"holds what its platform does not load: {strays}")
    manifest = tomllib.loads(members.get(f"{PACKAGE}/blender_manifest.toml", b"").decode())
    if manifest.get("platforms") != [platform] or manifest.get("version") != version:
        problems.append(f"manifest says platforms {manifest.get('platforms')}, "
                        f"version {manifest.get('version')}")
    if bl_info(members.get(f"{PACKAGE}/__init__.py", b"")).get("blender", ()) > (3, 1, 0):
        problems.append("bl_info does not admit Blender 3.1")
    return problems


def bl_info(source):
    for node in ast.parse(source).body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "bl_info":
            return ast.literal_eval(node.value)
    return {"blender": (99,)}


def audit(paths, show_symbols=False, out=print):
    """Audits every zip; returns the number of faults found."""
    faults, layers = 0, {}
    abi = {"PE": stable_abi.symbols("windows")}
    abi["Mach-O"] = abi["ELF"] = stable_abi.symbols("posix")
    for path in map(pathlib.Path, paths):
        with zipfile.ZipFile(path) as z:
            members = {n: z.read(n) for n in z.namelist() if not n.endswith("/")}
        problems = zip_problems(path, members)
        layers[path.name] = {n: b for n, b in members.items() if n.endswith(".py")}
        platform = (name_parts(path) or (None, None))[1]
        with tempfile.TemporaryDirectory() as scratch:
            for name in MODULES if platform else ():
                member = f"{PACKAGE}/{name}{TARGETS[platform].suffix}"
                if member not in members:
                    continue
                file = pathlib.Path(scratch, pathlib.PurePosixPath(member).name)
                file.write_bytes(members[member])
                found = binary.read(file)
                out(describe(platform, file.name, found, show_symbols))
                problems += [f"{file.name} {p}" for p in module_problems(platform, name, found, abi[found.format])]
        for p in problems:
            out(f"FAULT {path.name}: {p}")
        faults += len(problems)
    if len({tuple(sorted(layer.items())) for layer in layers.values()}) > 1:
        out("FAULT: the zips' Python files differ")
        faults += 1
    return faults


def describe(platform, file, found, show_symbols):
    parts = [f"{platform:13} {file:16} exports {', '.join(found.exports)}"]
    if found.min_os:
        parts.append("macOS " + ".".join(map(str, found.min_os[:2])) + "+")
    if found.signature:
        parts.append(f"signature {found.signature}")
    grouped = {}
    for source, symbols in found.imports.items():  # glibc's symbol versions as one library
        grouped.setdefault("glibc" if source.startswith("GLIBC_") else source, set()).update(symbols)
    for source, symbols in grouped.items():
        listed = ": " + " ".join(sorted(symbols)) if show_symbols else ""
        parts.append(f"{source} ({len(symbols)}){listed}")
    return "; ".join(parts)


if __name__ == "__main__":
    args = sys.argv[1:]
    show = "--symbols" in args
    zips = [a for a in args if a != "--symbols"]
    if not zips:
        sys.exit(__doc__)
    found = audit(zips, show)
    print(f"audit: {len(zips)} zips, {found} faults")
    sys.exit(1 if found else 0)
