"""CPython's stable ABI as this project reads it: the symbol list of CPython's own test suite
(Debian's libpython3.11-testsuite) and which of those symbols are data, from the headers."""

import pathlib
import re
import sysconfig

LISTING = pathlib.Path("test", "test_stable_abi_ctypes.py")
HEADERS = pathlib.Path("/usr/include/python3.11")

# The listing's optional blocks that each kind of platform's interpreter exports.
FEATURES = {
    "windows": {"MS_WINDOWS", "PY_HAVE_THREAD_NATIVE_ID"},
    "posix": {"HAVE_FORK", "PY_HAVE_THREAD_NATIVE_ID"},
}


def listing_text():
    for base in ("/usr/lib/python3.11", sysconfig.get_paths()["stdlib"]):
        path = pathlib.Path(base) / LISTING
        if path.exists():
            return path.read_text(encoding="utf-8")
    raise FileNotFoundError("CPython's stable-ABI listing (libpython3.11-testsuite) is not installed")


def symbols(kind, text=None):
    """Every stable-ABI symbol that the interpreter of `kind` ("windows" or "posix") exports."""
    text = listing_text() if text is None else text
    names = set(re.findall(r'^\s+"(\w+)",$', text, re.M))
    for feature, block in re.findall(r"^if feature_macros\['(\w+)'\]:\s*SYMBOL_NAMES \+= \((.*?)\)",
                                     text, re.M | re.S):
        if feature in FEATURES[kind]:
            names.update(re.findall(r"'(\w+)'", block))
    return names


def data_symbols(headers=HEADERS):
    """Names the headers declare as data (PyAPI_DATA): imported without a call thunk."""
    found = set()
    for header in headers.glob("*.h"):
        found.update(re.findall(r"PyAPI_DATA\(.*?\)\s*(\w+)\s*;", header.read_text(encoding="utf-8")))
    return found
