// Module `bridge`: the local HTTP bridge that hands one asset to the import page.
#include "py/py.hpp"

namespace {

int exec_bridge(PyObject* m) {
  return py::guard_status([m] { py::add(m, "config", py::import_sibling(m, "config")); });
}

PyMethodDef kFunctions[] = {PY_FUNCTIONS_END};
PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_bridge)}, {0, nullptr}};
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "bridge", "The local bridge.", 0, kFunctions,
                       kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_bridge(void) { return PyModuleDef_Init(&kModule); }
