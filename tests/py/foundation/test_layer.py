"""The C++ layer under every module: parsing, exceptions both ways, attribute helpers."""

import errno
import sys

import pytest

from tavro_paths import ADDON_DIR

sys.path.insert(0, str(ADDON_DIR.parent / "test_modules"))
import _layer_probe as probe  # noqa: E402


def test_parsing_by_position_and_name_with_optional_tail():
    assert probe.parse(1.9, "b") == (1, "b", None)
    assert probe.parse(b="x", a=-2.5, c=[1]) == (-2, "x", [1])
    with pytest.raises(TypeError, match=r"^parse\(\) missing 2 required positional arguments: 'a' and 'b'$"):
        probe.parse()
    with pytest.raises(TypeError, match=r"takes 3 positional arguments but 4 were given"):
        probe.parse(1, "b", 3, 4)
    with pytest.raises(TypeError, match=r"^b must be str, not NoneType$"):
        probe.parse(1, None)
    with pytest.raises(TypeError, match=r"^a must be a real number, not str$"):
        probe.parse("1", "b")
    with pytest.raises(ValueError):
        probe.parse(float("nan"), "b")


def test_python_exceptions_cross_cpp_unchanged():
    def boom():
        raise KeyboardInterrupt("stop")

    with pytest.raises(KeyboardInterrupt, match="stop") as info:
        probe.call_through(boom)
    assert info.traceback[-1].name == "boom"  # the traceback survives the trip
    assert probe.call_through(lambda: {}["missing"]) == "caught lookup"
    assert probe.call_through(lambda a, b: a + b, 2, 3) == 5


def test_cpp_exceptions_become_python_ones():
    with pytest.raises(FileNotFoundError) as info:
        probe.throw_cpp("system")
    assert info.value.errno == errno.ENOENT
    with pytest.raises(MemoryError):
        probe.throw_cpp("alloc")
    with pytest.raises(RuntimeError, match="native failure"):
        probe.throw_cpp("runtime")
    with pytest.raises(ValueError, match="^值错误$"):
        probe.throw_cpp("python")


def test_attribute_lookup_swallows_attribute_error_only():
    class Has:
        x = 5

    class Broken:
        @property
        def x(self):
            raise KeyError("inner")

    assert probe.attrs(Has()) == (True, 5)
    assert probe.attrs(object()) == (False, None)
    with pytest.raises(KeyError):
        probe.attrs(Broken())
