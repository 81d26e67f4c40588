"""What a compiled module exports and imports, for PE (Windows), Mach-O (macOS) and ELF (Linux).

PE and ELF are read with LLVM's llvm-readobj and llvm-nm, which read every target's files
(Debian's binutils cannot read ARM64 PE). Mach-O load commands are read here, and the code
signature is checked page by page as the macOS kernel does; what dyld binds comes from llvm-objdump.
"""

import dataclasses
import hashlib
import re
import shutil
import struct
import subprocess

# Where the interpreter's own symbols come from: the module does not name a library for them.
FROM_PYTHON = "(interpreter)"
# Mach-O: undefined symbols left in the symbol table that no fixup uses, so dyld never looks up.
UNUSED = "(unused references)"


@dataclasses.dataclass
class Binary:
    format: str  # "PE", "Mach-O" or "ELF"
    machine: str  # "x64" or "arm64"
    exports: list
    libraries: list  # the shared libraries it names, in order
    imports: dict  # library (or FROM_PYTHON) -> set of symbol names
    min_os: tuple = None  # Mach-O: the oldest macOS it asks for
    signature: str = None  # Mach-O: None when absent, "ad-hoc" when valid, else the fault


def tool(name):
    for candidate in (name, f"{name}-14"):
        if shutil.which(candidate):
            return candidate
    raise FileNotFoundError(f"{name} not found: install Debian's llvm package")


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def read(path):
    with open(path, "rb") as f:
        head = f.read(4)
    if head[:2] == b"MZ":
        return read_pe(path)
    if head == b"\x7fELF":
        return read_elf(path)
    if head == b"\xcf\xfa\xed\xfe":
        return read_macho(path)
    raise ValueError(f"{path}: neither PE, ELF nor 64-bit Mach-O")


# --- PE ---------------------------------------------------------------------------------------

PE_MACHINES = {"IMAGE_FILE_MACHINE_AMD64": "x64", "IMAGE_FILE_MACHINE_ARM64": "arm64"}


def read_pe(path):
    text = run(tool("llvm-readobj"), "--file-headers", "--coff-imports", "--coff-exports", str(path))
    machine = re.search(r"^\s*Machine: (\w+)", text, re.M).group(1)
    imports, libraries = {}, []
    # Import and DelayImport blocks alike: "Name: x.dll" then "Symbol: name (hint)" lines.
    for block in re.finditer(r"^\s*(?:Delay)?Import \{(.*?)^\s*\}", text, re.M | re.S):
        library = re.search(r"^\s*Name: (\S+)", block.group(1), re.M).group(1)
        libraries.append(library)
        imports.setdefault(library, set()).update(
            re.findall(r"^\s*Symbol: (\S+)", block.group(1), re.M))
    exports = [m for block in re.findall(r"^\s*Export \{(.*?)^\s*\}", text, re.M | re.S)
               for m in re.findall(r"^\s*Name: (\S+)", block, re.M)]
    return Binary("PE", PE_MACHINES.get(machine, machine), exports, libraries, imports)


# --- ELF --------------------------------------------------------------------------------------

ELF_MACHINES = {"EM_X86_64": "x64", "EM_AARCH64": "arm64"}


def read_elf(path):
    text = run(tool("llvm-readobj"), "--file-headers", "--needed-libs", str(path))
    machine = re.search(r"^\s*Machine: (\w+)", text, re.M).group(1)
    needed = re.search(r"NeededLibraries \[(.*?)\]", text, re.S).group(1).split()
    imports = {}
    for line in run(tool("llvm-nm"), "-D", "--undefined-only", str(path)).splitlines():
        kind, symbol = line.split()[-2:]
        if kind == "w":  # weak references the runtime probes for and tolerates missing
            continue
        plain, _, version = symbol.partition("@")
        imports.setdefault(version.lstrip("@") or FROM_PYTHON, set()).add(plain)
    exports = [line.split()[-1]
               for line in run(tool("llvm-nm"), "-D", "--defined-only", str(path)).splitlines()]
    return Binary("ELF", ELF_MACHINES.get(machine, machine), exports, needed, imports)


# --- Mach-O -----------------------------------------------------------------------------------

MACHO_CPUS = {0x01000007: "x64", 0x0100000C: "arm64"}
LC_SYMTAB, LC_CODE_SIGNATURE, LC_VERSION_MIN_MACOSX, LC_BUILD_VERSION = 0x2, 0x1D, 0x24, 0x32
LC_DYLD_CHAINED_FIXUPS = 0x80000034
LC_DYLIBS = {0xC, 0x80000018, 0x8000001F, 0x80000023}  # load, weak, re-export, upward
N_STAB, N_PEXT, N_TYPE, N_EXT, N_UNDF, N_SECT = 0xE0, 0x10, 0x0E, 0x01, 0x0, 0xE


def version(packed):
    return (packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF)


def read_macho(path):
    with open(path, "rb") as f:
        data = f.read()
    _, cpu, _, _, ncmds, _, _, _ = struct.unpack_from("<IiiIIIII", data, 0)
    pos, libraries, min_os, signature, symtab = 32, [], None, None, None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, pos)
        if cmd in LC_DYLIBS:
            name = struct.unpack_from("<I", data, pos + 8)[0]
            libraries.append(data[pos + name:pos + size].split(b"\0")[0].decode())
        elif cmd == LC_VERSION_MIN_MACOSX:
            min_os = version(struct.unpack_from("<I", data, pos + 8)[0])
        elif cmd == LC_BUILD_VERSION:
            min_os = version(struct.unpack_from("<I", data, pos + 12)[0])
        elif cmd == LC_SYMTAB:
            symtab = struct.unpack_from("<IIII", data, pos + 8)
        elif cmd == LC_CODE_SIGNATURE:
            signature = check_signature(data, *struct.unpack_from("<II", data, pos + 8))
        elif cmd == LC_DYLD_CHAINED_FIXUPS:
            raise ValueError(f"{path}: chained fixups, which this LLVM cannot list")
        pos += size
    exports, undefined = [], set()
    symoff, nsyms, stroff, _ = symtab
    for i in range(nsyms):
        strx, ntype, _, _, _ = struct.unpack_from("<IBBHQ", data, symoff + 16 * i)
        if ntype & N_STAB or not ntype & N_EXT:
            continue
        name = c_name(data[stroff + strx:data.index(b"\0", stroff + strx)].decode())
        if ntype & N_TYPE == N_SECT and not ntype & N_PEXT:
            exports.append(name)
        elif ntype & N_TYPE == N_UNDF:
            undefined.add(name)
    # What dyld binds, and from where: "flat-namespace" is a symbol the process provides.
    imports = {}
    binds = run(tool("llvm-objdump"), "--macho", "--bind", "--lazy-bind", str(path))
    for line in binds.splitlines():
        fields = line.split()
        if len(fields) in (5, 7) and fields[0].startswith("__"):
            library, symbol = fields[-2:]
            library = FROM_PYTHON if library == "flat-namespace" else library
            imports.setdefault(library, set()).add(c_name(symbol))
    unbound = undefined - set().union(*imports.values())
    if unbound:
        imports[UNUSED] = unbound
    return Binary("Mach-O", MACHO_CPUS.get(cpu, hex(cpu)), exports, libraries, imports, min_os,
                  signature)


def c_name(symbol):
    """The C name of a Mach-O symbol, which carries a leading underscore."""
    return symbol[1:] if symbol.startswith("_") else symbol


CSMAGIC_EMBEDDED_SIGNATURE, CSMAGIC_CODEDIRECTORY, CS_ADHOC = 0xFADE0CC0, 0xFADE0C02, 0x2
HASHES = {1: "sha1", 2: "sha256"}


def check_signature(data, offset, size):
    """'ad-hoc' when the embedded signature is ad hoc and every page's hash matches the file."""
    blob = data[offset:offset + size]
    magic, _, count = struct.unpack_from(">III", blob, 0)
    if magic != CSMAGIC_EMBEDDED_SIGNATURE:
        return "no embedded signature"
    slots = dict(struct.unpack_from(">II", blob, 12 + 8 * i) for i in range(count))
    if 0 not in slots:
        return "no code directory"
    cd = slots[0]
    (magic, _, _, flags, hash_offset, _, _, n_code, code_limit, hash_size, hash_type, _,
     page_shift) = struct.unpack_from(">IIIIIIIIIBBBB", blob, cd)
    if magic != CSMAGIC_CODEDIRECTORY:
        return "bad code directory"
    if not flags & CS_ADHOC:
        return "not an ad-hoc signature"
    if code_limit != offset or hash_type not in HASHES:
        return "signature does not cover the file"
    page = 1 << page_shift
    if n_code != -(-code_limit // page):
        return "page count does not match the signed size"
    for i in range(n_code):
        want = blob[cd + hash_offset + i * hash_size:cd + hash_offset + (i + 1) * hash_size]
        got = hashlib.new(HASHES[hash_type], data[i * page:min((i + 1) * page, code_limit)]).digest()
        if got[:hash_size] != want:
            return f"page {i} does not match its signed hash"
    return "ad-hoc"
