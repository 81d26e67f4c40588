// Multi-phase module initialisation, module state and package-relative imports.
#pragma once

#include <new>
#include <string>
#include <tuple>
#include <type_traits>

#include "error.hpp"
#include "object.hpp"
#include "ref.hpp"

namespace py {

// Visits each reference for the garbage collector (tp_traverse, m_traverse).
template <class... R>
int visit(visitproc visit, void* arg, const R&... refs) {
  int r = 0;
  ((r = r != 0 ? r : (refs.get() ? visit(refs.get(), arg) : 0)), ...);
  return r;
}

// ---- module state ---------------------------------------------------------------------------
// A module keeps what only its own C++ code may use (its types above all) in its state, where
// no Python code can rebind it, as opposed to module attributes, which any code can replace.
// The state is a struct of py::Ref fields that lists them in `auto refs() { return
// std::tie(a, b); }`; it is built before the module's exec runs and visited, cleared and
// destroyed with the module.

namespace detail {
void* state_memory(PyObject* module);  // PyModule_GetState, an error when there is none

template <class S>
struct StateSlots {
  static constexpr Py_ssize_t size = sizeof(S);
  static int traverse(PyObject* m, visitproc v, void* arg) {
    auto* s = static_cast<S*>(PyModule_GetState(m));
    return s ? std::apply([&](auto&... r) { return visit(v, arg, r...); }, s->refs()) : 0;
  }
  static int clear(PyObject* m) {
    if (auto* s = static_cast<S*>(PyModule_GetState(m)))
      std::apply([](auto&... r) { ((r = Ref()), ...); }, s->refs());
    return 0;
  }
  // Python zero-fills the state before exec; all-zero py::Ref fields are empty ones, so a
  // state whose exec never ran is destroyed just as well.
  static void free(void* m) {
    if (auto* s = static_cast<S*>(PyModule_GetState(static_cast<PyObject*>(m)))) s->~S();
  }
};

template <>
struct StateSlots<void> {
  static constexpr Py_ssize_t size = 0;
  static constexpr traverseproc traverse = nullptr;
  static constexpr inquiry clear = nullptr;
  static constexpr freefunc free = nullptr;
};

template <class S, void (*Exec)(PyObject*)>
int exec_with_state(PyObject* m) noexcept {
  return guard_status([m] {
    if constexpr (!std::is_void_v<S>) new (state_memory(m)) S();
    Exec(m);
  });
}
}  // namespace detail

// The state of `module`, whose definition gave it a state of type S.
template <class S>
S& state(PyObject* module) {
  return *static_cast<S*>(detail::state_memory(module));
}

// The module whose exec created `type` with new_type (borrowed): how methods and slots of a
// type reach their module, whatever its attributes hold now.
PyObject* module_of(PyTypeObject* type);
inline PyObject* module_of_instance(PyObject* self) { return module_of(Py_TYPE(self)); }

// Defines PyInit_<name> for a module with multi-phase initialisation: its functions are those
// its files declare with PY_EXPORT(name, ...), `exec_fn` the void(PyObject* module) that fills a
// new module object (its exceptions fail the import), `State` the type of its state or void for
// none.
#define PY_MODULE(name, doc, exec_fn, State)                                                  \
  namespace {                                                                                 \
  PyModuleDef_Slot name##_module_slots[] = {                                                  \
      {Py_mod_exec, reinterpret_cast<void*>(&::py::detail::exec_with_state<State, exec_fn>)}, \
      {0, nullptr}};                                                                          \
  PyModuleDef name##_module_def = {PyModuleDef_HEAD_INIT,                                     \
                                   #name,                                                     \
                                   doc,                                                       \
                                   ::py::detail::StateSlots<State>::size,                     \
                                   nullptr,                                                   \
                                   name##_module_slots,                                       \
                                   ::py::detail::StateSlots<State>::traverse,                 \
                                   ::py::detail::StateSlots<State>::clear,                    \
                                   ::py::detail::StateSlots<State>::free};                    \
  }                                                                                           \
  PyMODINIT_FUNC PyInit_##name(void) {                                                        \
    name##_module_def.m_methods = ::py::exported<#name>(); /* every PY_EXPORT has run */      \
    return PyModuleDef_Init(&name##_module_def);                                              \
  }

// ---- package-relative imports and globals ---------------------------------------------------

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
