// Functions, methods and constructors written in C++, each declared once: its Python name, its
// parameter list and its doc give the method-table entry, the docstring (whose first line is
// the signature `inspect.signature` reads) and the names the parser binds.
//
//   py::Ref build_url(PyObject* module, const py::Params& p) { ... p.integer(0), p.text(1) ... }
//   PY_EXPORT(config, py::function<"build_url", "port, token", "The address of one job.",
//                                  build_url>());
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "error.hpp"
#include "params.hpp"
#include "signature.hpp"
#include "type.hpp"

namespace py {

// The body of a function or method: `self` is the module (or the instance), `p` the call's
// arguments bound to the declared parameters.
using Body = Ref (*)(PyObject* self, const Params& p);
// The body of a constructor: `type` is the type being called.
using NewBody = Ref (*)(PyTypeObject* type, const Params& p);

namespace detail {

template <Literal Name, Literal P, Body F>
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return F(self, Params(signature_of<Name, P>, args, kwargs)); });
}

template <Literal Name, Literal P, NewBody F>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] { return F(type, Params(signature_of<Name, P>, args, kwargs)); });
}

template <Literal Name, Literal P, Literal Doc, Body F, Kind K>
PyMethodDef entry() {
  return {Name.text,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&call<Name, P, F>)),
          METH_VARARGS | METH_KEYWORDS, doc_of<Name, P, Doc, K>.data()};
}

}  // namespace detail

// A module function's entry in the module's PyMethodDef table.
template <Literal Name, Literal P, Literal Doc, Body F>
PyMethodDef function() {
  return detail::entry<Name, P, Doc, F, Kind::function>();
}

// A method's entry in a type's PyMethodDef table.
template <Literal Name, Literal P, Literal Doc, Body F>
PyMethodDef method() {
  return detail::entry<Name, P, Doc, F, Kind::method>();
}

inline PyMethodDef end_of_table() { return {nullptr, nullptr, 0, nullptr}; }

// A builtin function of `def` (static storage) whose `self` is `self`: a callable that carries
// its own data, such as a handler the host calls back.
inline Ref bind(PyMethodDef* def, const Ref& self) {
  return Ref::steal(PyCFunction_NewEx(def, self.get(), nullptr));
}

// ---- a module's functions, declared beside their bodies ----------------------------------------
// PY_EXPORT(render, py::function<...>()) in any file of a module adds the entry to the module's
// table while the module's binary loads; py::exported<"render">() is that table, sorted by name,
// which PY_MODULE(render, ...) gives the module. A function is then declared in one place, next to
// the code that reads its parameters, and a new function touches no other file.
template <Literal Module>
struct Exports {
  static std::vector<PyMethodDef>& entries() {
    static std::vector<PyMethodDef> gathered;
    return gathered;
  }
  explicit Exports(PyMethodDef entry) { entries().push_back(entry); }
};

template <Literal Module>
PyMethodDef* exported() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t = Exports<Module>::entries();
    std::sort(t.begin(), t.end(), [](const PyMethodDef& a, const PyMethodDef& b) {
      return std::strcmp(a.ml_name, b.ml_name) < 0;
    });
    t.push_back(end_of_table());
    return t;
  }();
  return table.data();
}

#define PY_EXPORT_JOIN(a, b) a##b
#define PY_EXPORT_NAME(line) PY_EXPORT_JOIN(py_export_, line)
#define PY_EXPORT(module, ...) \
  static const ::py::Exports<#module> PY_EXPORT_NAME(__LINE__) { __VA_ARGS__ }

// A PyType_Slot entry from a function or table.
template <class T>
PyType_Slot slot(int id, T* value) {
  return {id, reinterpret_cast<void*>(value)};
}
// A type's doc without a constructor signature.
inline PyType_Slot doc_slot(const char* doc) { return {Py_tp_doc, const_cast<char*>(doc)}; }
inline PyType_Slot end_of_slots() { return {0, nullptr}; }

// A type's constructor: its tp_new and tp_doc slots, "Name(params)\n--\n\ndoc".
template <Literal Name, Literal P, Literal Doc, NewBody F>
struct Constructor {
  static PyType_Slot new_slot() { return slot(Py_tp_new, &detail::construct<Name, P, F>); }
  static PyType_Slot doc_slot() {
    return py::doc_slot(doc_of<Name, P, Doc, Kind::constructor>.data());
  }
};

// ---- the specs of the project's two kinds of heap type ------------------------------------
// Instances hold a T (py::Instance<T>). A constructed type is made by Python code through its
// constructor `New` (a py::Constructor) and its T may hold Python objects (it is collected:
// T offers traverse and clear). A native type's instances are made by the module's C++ code
// alone. Each T has one spec, built at its first use.

namespace detail {
template <class T>
PyType_Spec* spec(const char* name, unsigned int flags, std::initializer_list<PyType_Slot> head,
                  PyMethodDef* methods, PyGetSetDef* fields) {
  static std::array<PyType_Slot, 8> slots = [&] {
    std::array<PyType_Slot, 8> out{};  // zero: the end of the slots
    size_t n = 0;
    for (const PyType_Slot& s : head) out[n++] = s;
    out[n++] = slot(Py_tp_dealloc, &dealloc<T>);
    out[n++] = slot(Py_tp_methods, methods);
    if (fields != nullptr) out[n++] = slot(Py_tp_getset, fields);
    return out;
  }();
  static PyType_Spec built{name, static_cast<int>(sizeof(Instance<T>)), 0, flags, slots.data()};
  return &built;
}
}  // namespace detail

template <class T, class New>
PyType_Spec* constructed_type(const char* name, PyMethodDef* methods,
                              PyGetSetDef* fields = nullptr) {
  return detail::spec<T>(name, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                         {New::new_slot(), New::doc_slot(), slot(Py_tp_traverse, &traverse<T>),
                          slot(Py_tp_clear, &clear<T>)},
                         methods, fields);
}

template <class T>
PyType_Spec* native_type(const char* name, const char* doc, PyMethodDef* methods,
                         PyGetSetDef* fields = nullptr) {
  return detail::spec<T>(name, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         {doc_slot(doc)}, methods, fields);
}

}  // namespace py
