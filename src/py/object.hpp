// Attribute access, calls and conversions on top of Ref, throwing py::Error on failure.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "ref.hpp"

namespace py {

// ---- making Python values -------------------------------------------------------------------
Ref none();
Ref boolean(bool v);
Ref integer(long long v);
Ref real(double v);
Ref str(std::string_view utf8);

inline Ref to_py(const Ref& v) { return v; }
inline Ref to_py(PyObject* borrowed) { return Ref::borrow(borrowed); }
inline Ref to_py(std::string_view v) { return str(v); }
inline Ref to_py(const std::string& v) { return str(v); }
inline Ref to_py(const char* v) { return str(v); }
inline Ref to_py(bool v) { return boolean(v); }
inline Ref to_py(double v) { return real(v); }
template <class I>
requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) Ref to_py(I v) {
  return integer(static_cast<long long>(v));
}

// A tuple of any convertible values: tuple(1, "a", ref).
template <class... A>
Ref tuple(A&&... items) {
  Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
  Py_ssize_t i = 0;
  // PyTuple_SetItem steals the item reference.
  ((PyTuple_SetItem(t.get(), i++, to_py(std::forward<A>(items)).release())), ...);
  return t;
}

// tuple(iterable)
Ref tuple_of(const Ref& iterable);

// A set of any convertible values: set_of("FINISHED") is {"FINISHED"}.
template <class... A>
Ref set_of(A&&... items);

Ref list();
void append(const Ref& list, const Ref& item);
Ref dict();
// dict(o): a new dict from a mapping or from key-value pairs.
Ref dict_of(PyObject* o);
void set_item(const Ref& dict, std::string_view key, const Ref& value);
void set_item(const Ref& dict, const Ref& key, const Ref& value);
// mapping[key] (KeyError when it is missing)
Ref lookup(PyObject* mapping, std::string_view key);
inline Ref lookup(const Ref& mapping, std::string_view key) { return lookup(mapping.get(), key); }
// dict.get(key): the value, or an empty Ref when the dict has no such key.
Ref get_item(PyObject* dict, std::string_view key);
// A dict from keyword pairs, for calls: kwargs({{"animation", boolean(true)}}).
Ref kwargs(std::initializer_list<std::pair<const char*, Ref>> items);

// ---- reading Python values ------------------------------------------------------------------
bool is_str(PyObject* o) noexcept;
// UTF-8 text of a str object (TypeError if it is not one).
std::string utf8(PyObject* s);
inline std::string utf8(const Ref& s) { return utf8(s.get()); }
// str(o) in UTF-8: the text an object prints as.
std::string text_of(PyObject* o);
// repr(o) in UTF-8.
std::string repr_of(PyObject* o);
long long to_long(PyObject* o);  // an int (OverflowError when out of range)
double to_double(PyObject* o);
Ref int_of(PyObject* o);    // int(o)
Ref float_of(PyObject* o);  // float(o)
inline Ref int_of(const Ref& o) { return int_of(o.get()); }
bool truthy(PyObject* o);  // bool(o)
inline bool truthy(const Ref& o) { return truthy(o.get()); }
inline double to_double(const Ref& o) { return to_double(o.get()); }
// type(o).__name__, for messages.
std::string type_name(PyObject* o);

// ---- comparison, containment and arithmetic, with Python's semantics ---------------------------
bool equals(PyObject* a, PyObject* b);  // a == b
inline bool equals(const Ref& a, const Ref& b) { return equals(a.get(), b.get()); }
// `a <op> b` for op Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT or Py_GE, as the object it gives.
Ref compare(const Ref& a, int op, const Ref& b);
bool less(const Ref& a, const Ref& b);                 // a < b
bool greater(const Ref& a, const Ref& b);              // a > b
bool contains(const Ref& container, const Ref& item);  // item in container
Ref operator+(const Ref& a, const Ref& b);
Ref operator-(const Ref& a, const Ref& b);
Ref operator/(const Ref& a, const Ref& b);  // true division, as in Python 3
Ref abs(const Ref& a);

// ---- sequences ------------------------------------------------------------------------------
Py_ssize_t length(PyObject* o);  // len(o)
inline Py_ssize_t length(const Ref& o) { return length(o.get()); }
Ref item(PyObject* seq, Py_ssize_t i);  // seq[i]
inline Ref item(const Ref& seq, Py_ssize_t i) { return item(seq.get(), i); }
Ref slice(PyObject* seq, Py_ssize_t begin, Py_ssize_t end);  // seq[begin:end]

// ---- attributes and calls -------------------------------------------------------------------
Ref attr(PyObject* o, const char* name);
inline Ref attr(const Ref& o, const char* name) { return attr(o.get(), name); }
// The attribute, or an empty Ref when reading it raises AttributeError (like hasattr: other
// errors propagate).
Ref attr_or_null(PyObject* o, const char* name);
inline Ref attr_or_null(const Ref& o, const char* name) { return attr_or_null(o.get(), name); }
inline bool has_attr(PyObject* o, const char* name) { return bool(attr_or_null(o, name)); }
inline bool has_attr(const Ref& o, const char* name) { return has_attr(o.get(), name); }
void set_attr(PyObject* o, const char* name, const Ref& value);
inline void set_attr(const Ref& o, const char* name, const Ref& value) {
  set_attr(o.get(), name, value);
}

Ref call_tuple(PyObject* callable, const Ref& args, const Ref& kw = Ref());
template <class... A>
Ref call(PyObject* callable, A&&... args) {
  return call_tuple(callable, tuple(std::forward<A>(args)...));
}
template <class... A>
Ref call(const Ref& callable, A&&... args) {
  return call_tuple(callable.get(), tuple(std::forward<A>(args)...));
}
// o.name(*args)
template <class... A>
Ref call_method(PyObject* o, const char* name, A&&... args) {
  return call(attr(o, name), std::forward<A>(args)...);
}
template <class... A>
Ref call_method(const Ref& o, const char* name, A&&... args) {
  return call(attr(o, name), std::forward<A>(args)...);
}

Ref import(const char* name);
// The module, or an empty Ref when importing it raises ImportError (other errors propagate).
Ref import_or_null(const char* name);
// isinstance(o, cls)
bool isinstance(PyObject* o, PyObject* cls);

template <class... A>
Ref set_of(A&&... items) {
  Ref s = Ref::steal(PySet_New(nullptr));
  ((PySet_Add(s.get(), to_py(std::forward<A>(items)).get()) < 0 ? throw_pending() : void()), ...);
  return s;
}

}  // namespace py
