#!/usr/bin/env python3
"""Writes the module-definition file of python3.dll, the stable-ABI interpreter DLL of
Windows, from CPython's stable-ABI list: an import library made from it links a module
against python3.dll alone, so the module loads in every Python from 3.10 on."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import stable_abi  # noqa: E402


def definition():
    data = stable_abi.data_symbols()
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    lines += [f"    {name}{' DATA' if name in data else ''}" for name in sorted(stable_abi.symbols("windows"))]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1])
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(definition(), encoding="ascii")
