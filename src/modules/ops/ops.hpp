// Module `ops`: the functions behind its Python names, one concern per file; module.cpp lists
// them all. Every host object (operator, context, scene, layout) is reached through Python
// attribute access, and `render`, `bridge`, `config`, `os`, `webbrowser` and `bpy` through the
// module's own globals at the moment of use, as Python code would.
#pragma once

#include <cstddef>
#include <vector>

#include "py/py.hpp"

namespace ops {

// production.cpp
py::Ref aspects();  // the value of `_ASPECTS`
py::Ref aspect_wh(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref long_edge(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref wrap(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref produce(PyObject* m, PyObject* args, PyObject* kwargs);

// send.cpp
py::Ref execute_send(PyObject* m, PyObject* args, PyObject* kwargs);

// panel.cpp
py::Ref draw_panel(PyObject* m, PyObject* args, PyObject* kwargs);

// Shared helpers (production.cpp).
// The pieces of `text` (a str) of `width` code points each; one empty piece for empty text.
py::Ref wrap_text(PyObject* text, long long width);
// format(value, spec), Python's own number formatting.
py::Ref format(const py::Ref& value, const char* spec);
// str(int(value)): a number written as a whole number, a fraction cut toward zero.
py::Ref whole(const py::Ref& value);
// A set holding one text, as the host's operator results and report levels are.
py::Ref text_set(const char* text);
// a + b for two objects (str concatenation here).
py::Ref concat(const py::Ref& a, const py::Ref& b);

}  // namespace ops
