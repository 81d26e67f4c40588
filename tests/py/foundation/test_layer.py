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


def test_one_declaration_gives_signature_parser_names_and_doc():
    import inspect

    assert str(inspect.signature(probe.parse)) == "(a, b, c=None)"
    assert str(inspect.signature(probe.call_through)) == "(f, *args)"
    assert probe.sleep_released.__doc__ == "Sleep without the GIL."
    assert str(inspect.signature(probe.Box)) == "(content)" and probe.Box.__doc__ == "A box around one object."
    assert probe.eight(*range(8)) == list(range(8))
    assert probe.eight(h=7, g=6, f=5, e=4, d=3, c=2, b=1, a=0) == list(range(8))
    with pytest.raises(TypeError, match=r"^eight\(\) takes 8 positional arguments but 9 were given$"):
        probe.eight(*range(9))
    with pytest.raises(TypeError, match=r"^eight\(\) got an unexpected keyword argument 'i'$"):
        probe.eight(*range(8), i=8)
    with pytest.raises(TypeError, match=r"^call_through\(\) missing 1 required positional argument: 'f'$"):
        probe.call_through()


def test_iteration_and_unpacking():
    assert probe.collect(x * x for x in range(4)) == [0, 1, 4, 9]

    def broken():
        yield 1
        raise KeyError("mid-way")

    with pytest.raises(KeyError, match="mid-way"):
        probe.collect(broken())
    with pytest.raises(TypeError):
        probe.collect(5)
    assert probe.unpack(iter("ab"), 2) == ["a", "b"]
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        probe.unpack((1, 2, 3), 2)
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 3, got 2\)$"):
        probe.unpack((1, 2), 3)


def test_messages_are_built_as_str_format_builds_them():
    assert probe.describe(20.55, 200, "名") == "{名} 素材 20.6 MB 超过上限 200 MB"
    surrogate = "clip\udce9.mov"  # a file name os.fsdecode gives for undecodable bytes
    assert probe.describe(1, 2, surrogate) == "{" + surrogate + "} 素材 1.0 MB 超过上限 2 MB"
    with pytest.raises(ValueError):
        probe.describe("text", 1, "x")  # as in Python, a .1f precision does not apply to str


def test_comparison_containment_arithmetic_and_optional_import():
    assert probe.relations(2, 3.5)[:2] == (True, False)
    assert probe.relations(-3, 2)[2:] == (-1, -5, -1.5, 3)
    with pytest.raises(TypeError):
        probe.relations(1, "a")
    assert probe.contains((".mp4", ".mov"), ".mov") and not probe.contains("abc", "d")
    with pytest.raises(TypeError):
        probe.contains(5, 1)
    assert probe.import_or_none("json").__name__ == "json"
    assert probe.import_or_none("no_such_module_here") is None


def test_gil_is_released_and_exceptions_come_back_with_it():
    from threads import ticks_while

    ticks, result = ticks_while(lambda: probe.sleep_released(0.2))
    assert result is True and ticks > 1000
    with pytest.raises(RuntimeError, match="failed without the GIL"):
        probe.sleep_released(0, True)


def test_types_in_module_state_survive_rebinding_their_names(monkeypatch):
    box = probe.Box([1])
    assert box.content() == [1] and probe.unbox(box) == [1]
    for replacement in (None, int, object()):
        monkeypatch.setattr(probe, "Box", replacement)
        made = probe.make_box("x")
        assert probe.unbox(made) == "x" and type(made) is type(box)
        with pytest.raises(TypeError, match="^not a Box: int$"):
            probe.unbox(5)


REJECTED = {
    "more parameters than py::kMaxParams":
        'PyMethodDef f[] = {py::function<"f", "a, b, c, d, e, f, g, h, i", "", body>()};',
    "a required parameter follows one with a default":
        'PyMethodDef f[] = {py::function<"f", "a=1, b", "", body>()};',
    "the pattern's fields and the arguments differ in number":
        'py::Ref m() { return py::format("{} and {}", 1); }',
}


@pytest.mark.parametrize("fault", REJECTED)
def test_declarations_and_patterns_are_checked_when_compiled(fault):
    import shutil
    import subprocess
    import sysconfig

    from tavro_paths import ROOT

    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = ('#include "py/py.hpp"\npy::Ref body(PyObject*, const py::Params&) { return py::none(); }\n'
              + REJECTED[fault] + "\n")
    run = subprocess.run([compiler, "-std=c++20", "-fsyntax-only", "-I", str(ROOT / "src"),
                          "-I", sysconfig.get_paths()["include"], "-x", "c++", "-"],
                         input=source, capture_output=True, text=True, timeout=120)
    assert run.returncode != 0 and fault in run.stderr
