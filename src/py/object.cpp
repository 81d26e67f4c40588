#include "object.hpp"

namespace py {

Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref str(std::string_view utf8) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

Ref tuple_of(const Ref& iterable) { return Ref::steal(PySequence_Tuple(iterable.get())); }

Ref list() { return Ref::steal(PyList_New(0)); }
void append(const Ref& list, const Ref& item) {
  if (PyList_Append(list.get(), item.get()) < 0) throw_pending();
}
Ref dict() { return Ref::steal(PyDict_New()); }
Ref dict_of(PyObject* o) {
  return call(Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)), Ref::borrow(o));
}
void set_item(const Ref& d, std::string_view key, const Ref& value) {
  set_item(d, str(key), value);
}
void set_item(const Ref& d, const Ref& key, const Ref& value) {
  if (PyDict_SetItem(d.get(), key.get(), value.get()) < 0) throw_pending();
}
Ref kwargs(std::initializer_list<std::pair<const char*, Ref>> items) {
  Ref d = dict();
  for (const auto& [k, v] : items) set_item(d, k, v);
  return d;
}

bool is_str(PyObject* o) noexcept { return PyUnicode_Check(o); }

std::string utf8(PyObject* s) {
  if (!PyUnicode_Check(s)) raise(PyExc_TypeError, "expected str, got " + type_name(s));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) throw_pending();
  return std::string(p, static_cast<size_t>(n));
}

std::string text_of(PyObject* o) { return utf8(Ref::steal(PyObject_Str(o)).get()); }
std::string repr_of(PyObject* o) { return utf8(Ref::steal(PyObject_Repr(o)).get()); }

long long to_long(PyObject* o) {
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) throw_pending();
  return v;
}

double to_double(PyObject* o) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw_pending();
  return v;
}

Ref lookup(PyObject* mapping, std::string_view key) {
  return Ref::steal(PyObject_GetItem(mapping, str(key).get()));
}

Ref get_item(PyObject* dict, std::string_view key) {
  if (!PyDict_Check(dict)) raise(PyExc_TypeError, "expected dict, got " + type_name(dict));
  PyObject* v = PyDict_GetItemWithError(dict, str(key).get());  // borrowed
  if (v == nullptr && PyErr_Occurred()) throw_pending();
  return Ref::borrow(v);
}

Ref int_of(PyObject* o) { return Ref::steal(PyNumber_Long(o)); }
Ref float_of(PyObject* o) { return Ref::steal(PyNumber_Float(o)); }

bool truthy(PyObject* o) {
  int r = PyObject_IsTrue(o);
  if (r < 0) throw_pending();
  return r == 1;
}

std::string type_name(PyObject* o) {
  Ref type = Ref::steal(PyObject_Type(o));
  return utf8(attr(type, "__name__").get());
}

bool equals(PyObject* a, PyObject* b) {
  int r = PyObject_RichCompareBool(a, b, Py_EQ);
  if (r < 0) throw_pending();
  return r == 1;
}

Ref compare(const Ref& a, int op, const Ref& b) {
  return Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
}

namespace {
bool compare_bool(const Ref& a, int op, const Ref& b) {
  int r = PyObject_RichCompareBool(a.get(), b.get(), op);
  if (r < 0) throw_pending();
  return r == 1;
}
}  // namespace

bool less(const Ref& a, const Ref& b) { return compare_bool(a, Py_LT, b); }
bool greater(const Ref& a, const Ref& b) { return compare_bool(a, Py_GT, b); }

bool contains(const Ref& container, const Ref& item) {
  int r = PySequence_Contains(container.get(), item.get());
  if (r < 0) throw_pending();
  return r == 1;
}

Ref operator+(const Ref& a, const Ref& b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }
Ref operator-(const Ref& a, const Ref& b) {
  return Ref::steal(PyNumber_Subtract(a.get(), b.get()));
}
Ref operator/(const Ref& a, const Ref& b) {
  return Ref::steal(PyNumber_TrueDivide(a.get(), b.get()));
}
Ref abs(const Ref& a) { return Ref::steal(PyNumber_Absolute(a.get())); }

Py_ssize_t length(PyObject* o) {
  Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw_pending();
  return n;
}
Ref item(PyObject* seq, Py_ssize_t i) { return Ref::steal(PySequence_GetItem(seq, i)); }
Ref slice(PyObject* seq, Py_ssize_t begin, Py_ssize_t end) {
  return Ref::steal(PySequence_GetSlice(seq, begin, end));
}

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

Ref attr_or_null(PyObject* o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o, name);
  if (v != nullptr) return Ref::adopt(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
  PyErr_Clear();
  return Ref();
}

void set_attr(PyObject* o, const char* name, const Ref& value) {
  if (PyObject_SetAttrString(o, name, value.get()) < 0) throw_pending();
}

Ref call_tuple(PyObject* callable, const Ref& args, const Ref& kw) {
  return Ref::steal(PyObject_Call(callable, args.get(), kw.get()));
}

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref import_or_null(const char* name) {
  PyObject* m = PyImport_ImportModule(name);
  if (m != nullptr) return Ref::adopt(m);
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_pending();
  PyErr_Clear();
  return Ref();
}

bool isinstance(PyObject* o, PyObject* cls) {
  int r = PyObject_IsInstance(o, cls);
  if (r < 0) throw_pending();
  return r == 1;
}

}  // namespace py
