// Module functions, multi-phase module initialisation and package-relative imports.
#pragma once

#include <string>

#include "error.hpp"
#include "object.hpp"
#include "ref.hpp"

namespace py {

// Signature of every module-level function and method written in C++: `self` is the module
// (or the instance for methods); args/kwargs are the call's. Return the result as a Ref.
using Native = Ref (*)(PyObject* self, PyObject* args, PyObject* kwargs);

template <Native F>
PyObject* trampoline(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return F(self, args, kwargs); });
}

// One PyMethodDef entry for a Native function: PY_FUNCTION("name", fn, doc).
#define PY_FUNCTION(name, fn, doc)                                                                \
  PyMethodDef {                                                                                   \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&::py::trampoline<fn>)), \
        METH_VARARGS | METH_KEYWORDS, doc                                                         \
  }
#define PY_FUNCTIONS_END \
  PyMethodDef { nullptr, nullptr, 0, nullptr }

// Defines PyInit_<name> for a module with multi-phase initialisation: `functions` is its
// PyMethodDef table, `exec` the int(PyObject*) that fills a new module object.
#define PY_MODULE(name, doc, functions, exec)                                                  \
  namespace {                                                                                  \
  PyModuleDef_Slot name##_module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec)},     \
                                            {0, nullptr}};                                     \
  PyModuleDef name##_module_def = {PyModuleDef_HEAD_INIT, #name,   doc,     0,      functions, \
                                   name##_module_slots,   nullptr, nullptr, nullptr};          \
  }                                                                                            \
  PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_module_def); }

// The package that holds `module` (its __name__ up to the last dot), as a relative import
// sees it: "tavro_blender_uploader" or "bl_ext.user_default.tavro_blender_uploader".
std::string package_of(PyObject* module);

// Imports the sibling module `name` of `module`'s package, as `from . import name` does.
// ImportError when the module is not inside a package.
Ref import_sibling(PyObject* module, const char* name);

// module.name = value
void add(PyObject* module, const char* name, const Ref& value);

// The module's own global `name`, read at the moment of use, so that a test (or the host)
// that rebinds it is seen, as Python code looking up a global would see it.
inline Ref global(PyObject* module, const char* name) { return attr(module, name); }

}  // namespace py
