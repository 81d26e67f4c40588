// Module `ops`: asset production, the send operator and the panel drawing. Needs the host API.
#include "py/py.hpp"

namespace {

int exec_ops(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "os", py::import("os"));
    py::add(m, "webbrowser", py::import("webbrowser"));
    py::add(m, "bpy", py::import("bpy"));
    py::add(m, "bridge", py::import_sibling(m, "bridge"));
    py::add(m, "config", py::import_sibling(m, "config"));
    py::add(m, "render", py::import_sibling(m, "render"));
  });
}

PyMethodDef kFunctions[] = {PY_FUNCTIONS_END};
PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_ops)}, {0, nullptr}};
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "ops", "Send operator and panel.", 0, kFunctions,
                       kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ops(void) { return PyModuleDef_Init(&kModule); }
