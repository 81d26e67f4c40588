// Module `ops`: what its files share. Each file holds one concern and declares the Python
// functions it defines with PY_EXPORT beside their bodies. Every host object (operator, context,
// scene, layout) is reached through Python attribute access, and `render`, `bridge`, `config`,
// `os`, `webbrowser` and `bpy` through the module's own globals at the moment of use, as Python
// code would.
#pragma once

#include "py/py.hpp"

namespace ops {

// The value of `_ASPECTS` (production.cpp).
py::Ref aspects();

// The pieces of `text` (a str) of `width` code points each; one empty piece for empty text.
py::Ref wrap_text(PyObject* text, long long width);

}  // namespace ops
