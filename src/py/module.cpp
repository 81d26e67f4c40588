#include "module.hpp"

#include "format.hpp"

namespace py {

void* detail::state_memory(PyObject* module) {
  void* state = PyModule_GetState(module);
  if (state == nullptr) {
    if (PyErr_Occurred()) throw_pending();
    raise(PyExc_SystemError, "the module has no state");
  }
  return state;
}

PyObject* module_of(PyTypeObject* type) {
  PyObject* m = PyType_GetModule(type);
  if (m == nullptr) throw_pending();
  return m;
}

std::string package_of(PyObject* module) {
  std::string name = utf8(attr(module, "__name__"));
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

Ref import_sibling(PyObject* module, const char* name) {
  std::string package = package_of(module);
  if (package.empty())
    raise(PyExc_ImportError, "attempted relative import with no known parent package");
  return import((package + "." + name).c_str());
}

void add(PyObject* module, const char* name, const Ref& value) {
  if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw_pending();
}

}  // namespace py
