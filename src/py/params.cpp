#include "params.hpp"

#include <cmath>
#include <string>

#include "error.hpp"
#include "format.hpp"
#include "object.hpp"

namespace py {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': the way Python lists missing arguments.
std::string quoted_list(const Signature& sig, const std::array<size_t, kMaxParams>& which,
                        size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'";
    out += sig.names[which[i]];
    out += "'";
  }
  return out;
}

const char* plural(size_t n) { return n == 1 ? "" : "s"; }

}  // namespace

Params::Params(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
  // Declarations are checked when compiled; this guards a Signature written by hand.
  if (sig_.count > kMaxParams) raise(PyExc_SystemError, "too many parameters for py::Params");
  const size_t npos = args ? static_cast<size_t>(length(args)) : 0;
  if (npos > sig_.count && !sig_.varargs)
    raise(PyExc_TypeError,
          format("{}() takes {} positional argument{} but {} {} given", sig_.func, sig_.count,
                 plural(sig_.count), npos, npos == 1 ? "was" : "were"));
  const size_t named = npos < sig_.count ? npos : sig_.count;
  for (size_t i = 0; i < named; ++i) values_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (sig_.varargs)
    rest_ =
        args ? slice(args, static_cast<Py_ssize_t>(named), static_cast<Py_ssize_t>(npos)) : tuple();

  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key))
        raise(PyExc_TypeError, format("{}() keywords must be strings", sig_.func));
      std::string kname = utf8(key);
      size_t slot = sig_.count;
      for (size_t i = 0; i < sig_.count; ++i)
        if (kname == sig_.names[i]) slot = i;
      if (slot == sig_.count)
        raise(PyExc_TypeError,
              format("{}() got an unexpected keyword argument '{}'", sig_.func, kname));
      if (values_[slot] != nullptr)
        raise(PyExc_TypeError,
              format("{}() got multiple values for argument '{}'", sig_.func, kname));
      values_[slot] = value;
    }
  }

  std::array<size_t, kMaxParams> missing{};
  size_t nmissing = 0;
  for (size_t i = 0; i < sig_.required; ++i)
    if (values_[i] == nullptr) missing[nmissing++] = i;
  if (nmissing > 0)
    raise(PyExc_TypeError,
          format("{}() missing {} required positional argument{}: {}", sig_.func, nmissing,
                 plural(nmissing), quoted_list(sig_, missing, nmissing)));
}

size_t Params::checked(size_t i) const {
  if (i >= sig_.count) raise(PyExc_SystemError, format("{}() has no parameter {}", sig_.func, i));
  return i;
}

long long integer_arg(PyObject* v, const char* name) {
  if (PyLong_Check(v)) return to_long(v);
  if (PyFloat_Check(v)) {
    double d = PyFloat_AsDouble(v);
    if (std::isnan(d))
      raise(PyExc_ValueError, format("{}: cannot convert float NaN to integer", name));
    if (std::isinf(d))
      raise(PyExc_OverflowError, format("{}: cannot convert float infinity to integer", name));
    d = std::trunc(d);
    if (d < -9.2233720368547758e18 || d >= 9.2233720368547758e18)
      raise(PyExc_OverflowError, format("{} is too large", name));
    return static_cast<long long>(d);
  }
  if (isinstance(v, attr(import("numbers"), "Real").get())) {
    Ref truncated = call(attr(import("math"), "trunc"), v);
    if (PyLong_Check(truncated.get())) return to_long(truncated.get());
  }
  raise(PyExc_TypeError, format("{} must be a real number, not {}", name, type_name(v)));
}

namespace {
PyObject* checked_str(PyObject* v, const char* name) {
  if (!PyUnicode_Check(v))
    raise(PyExc_TypeError, format("{} must be str, not {}", name, type_name(v)));
  return v;
}
}  // namespace

std::string text_arg(PyObject* v, const char* name) { return utf8(checked_str(v, name)); }

long long Params::integer(size_t i) const { return integer_arg((*this)[i], name(i)); }
std::string Params::text(size_t i) const { return text_arg((*this)[i], name(i)); }
PyObject* Params::str_object(size_t i) const { return checked_str((*this)[i], name(i)); }

PyObject* Params::dict(size_t i) const {
  PyObject* v = (*this)[i];
  if (!PyDict_Check(v))
    raise(PyExc_TypeError, format("{} must be dict, not {}", name(i), type_name(v)));
  return v;
}

std::string Params::bytes(size_t i) const {
  PyObject* v = (*this)[i];
  if (PyBytes_Check(v)) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(v, &p, &n) < 0) throw_pending();
    return std::string(p, static_cast<size_t>(n));
  }
  if (PyByteArray_Check(v))
    return std::string(PyByteArray_AsString(v), static_cast<size_t>(PyByteArray_Size(v)));
  raise(PyExc_TypeError, format("{} must be bytes, not {}", name(i), type_name(v)));
}

}  // namespace py
