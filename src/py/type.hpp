// Heap types whose instances hold a C++ value, created with PyType_FromModuleAndSpec.
#pragma once

#include <new>
#include <utility>

#include "error.hpp"
#include "ref.hpp"

namespace py {

// Instance layout: the object header followed by the C++ value.
template <class T>
struct Instance {
  PyObject ob_base;
  T value;
};

template <class T>
T& native(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

inline PyTypeObject* as_type(const Ref& type) {
  return reinterpret_cast<PyTypeObject*>(type.get());
}

// Allocates an instance of `type` and constructs its value in place from `args`.
template <class T, class... A>
Ref make_instance(PyTypeObject* type, A&&... args) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = Ref::steal(alloc(type, 0));
  try {
    new (&native<T>(obj.get())) T(std::forward<A>(args)...);
  } catch (...) {
    // The value was never built: free the raw object without running the destructor.
    PyObject* raw = obj.release();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(raw);
    free_fn(raw);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    throw;
  }
  return obj;
}

// The same for a type held in a module's state; SystemError when the state holds none (its
// module's exec failed or it was cleared).
template <class T, class... A>
Ref make_instance(const Ref& type, A&&... args) {
  if (!type) raise(PyExc_SystemError, "the type of this module is not available");
  return make_instance<T>(as_type(type), std::forward<A>(args)...);
}

// The value of `obj` when it is an instance of `type` (a type held in a module's state),
// else null: the check that must come before native<T> on any object Python code handed in.
template <class T>
T* native_if(PyObject* obj, const Ref& type) {
  if (!type || !PyObject_TypeCheck(obj, as_type(type))) return nullptr;
  return &native<T>(obj);
}

// tp_dealloc for Instance<T>: destroys the value, frees the object and releases the type
// (heap-type instances own a reference to their type).
template <class T>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  native<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// tp_traverse for types whose value offers `int traverse(visitproc, void*)`; heap types must
// also visit their type.
template <class T>
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return native<T>(self).traverse(visit, arg);
}

// tp_clear for types whose value offers `void clear()`.
template <class T>
int clear(PyObject* self) noexcept {
  native<T>(self).clear();
  return 0;
}

// Creates the heap type from `spec` (whose basicsize must be sizeof(Instance<T>)), bound to
// `module` so that methods can find the module's state and siblings.
inline Ref new_type(PyObject* module, PyType_Spec* spec) {
  return Ref::steal(PyType_FromModuleAndSpec(module, spec, nullptr));
}

// A getter (PyGetSetDef::get) from a function `Ref (*)(PyObject* self)`.
template <Ref (*F)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
  return guard([&] { return F(self); });
}

}  // namespace py
