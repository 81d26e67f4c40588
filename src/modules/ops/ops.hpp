// Module `ops`: the functions behind its Python names, one concern per file; module.cpp lists
// them all. Every host object (operator, context, scene, layout) is reached through Python
// attribute access, and `render`, `bridge`, `config`, `os`, `webbrowser` and `bpy` through the
// module's own globals at the moment of use, as Python code would.
#pragma once

#include "py/py.hpp"

namespace ops {

// production.cpp
py::Ref aspects();  // the value of `_ASPECTS`
py::Ref aspect_wh(PyObject* m, const py::Params& p);
py::Ref long_edge(PyObject* m, const py::Params& p);
py::Ref wrap(PyObject* m, const py::Params& p);
py::Ref produce(PyObject* m, const py::Params& p);

// send.cpp
py::Ref execute_send(PyObject* m, const py::Params& p);

// panel.cpp
py::Ref draw_panel(PyObject* m, const py::Params& p);

// The pieces of `text` (a str) of `width` code points each; one empty piece for empty text.
py::Ref wrap_text(PyObject* text, long long width);

}  // namespace ops
