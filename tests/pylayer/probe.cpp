// A test-only extension module that exercises the py layer directly: argument parsing,
// exceptions crossing C++ in both directions, attribute helpers and heap types.
#include <stdexcept>
#include <system_error>

#include "py/py.hpp"

namespace {

using py::Ref;

// parse(a, b, c=None) -> (a_as_int, b_as_text, c or None)
Ref parse(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Params p("parse", args, kwargs, {"a", "b", "c"}, 2);
  long long a = p.integer(0);
  std::string b = p.text(1);
  return py::tuple(a, b, p.given(2) ? py::Ref::borrow(p[2]) : py::none());
}

// call_through(f, *args): calls f from C++ and hands back its result or its exception.
Ref call_through(PyObject*, PyObject* args, PyObject*) {
  PyObject* f = PyTuple_GetItem(args, 0);
  if (f == nullptr) py::throw_pending();
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_Size(args)));
  try {
    return py::call_tuple(f, rest);
  } catch (py::Error& e) {
    if (e.matches(PyExc_LookupError)) return py::str("caught lookup");
    throw;
  }
}

// throw_cpp(kind): C++ exceptions become Python ones at the boundary.
Ref throw_cpp(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Params p("throw_cpp", args, kwargs, {"kind"});
  std::string kind = p.text(0);
  if (kind == "system") throw std::system_error(ENOENT, std::generic_category(), "open");
  if (kind == "alloc") throw std::bad_alloc();
  if (kind == "runtime") throw std::runtime_error("native failure");
  if (kind == "python") py::raise(PyExc_ValueError, "值错误");
  return py::none();
}

// attrs(o): (hasattr(o, "x"), getattr(o, "x", None)), with errors other than AttributeError
// passed on.
Ref attrs(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Params p("attrs", args, kwargs, {"o"});
  Ref x = py::attr_or_null(p[0], "x");
  return py::tuple(bool(x), x ? x : py::none());
}

PyMethodDef kFunctions[] = {
    PY_FUNCTION("parse", parse, "parse($module, /, a, b, c=None)\n--\n\n"),
    PY_FUNCTION("call_through", call_through, nullptr),
    PY_FUNCTION("throw_cpp", throw_cpp, nullptr),
    PY_FUNCTION("attrs", attrs, nullptr),
    PY_FUNCTIONS_END,
};
PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "_layer_probe",
                       nullptr,
                       0,
                       kFunctions,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__layer_probe(void) { return PyModuleDef_Init(&kModule); }
