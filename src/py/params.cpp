#include "params.hpp"

#include <cmath>
#include <string>

#include "error.hpp"
#include "object.hpp"

namespace py {
namespace {

std::string quoted_list(const std::array<const char*, Params::kMax>& names,
                        const std::array<size_t, Params::kMax>& which, size_t n) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c' — the way Python lists missing arguments.
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'";
    out += names[which[i]];
    out += "'";
  }
  return out;
}

}  // namespace

Params::Params(const char* func, PyObject* args, PyObject* kwargs,
               std::initializer_list<const char*> names, size_t required)
    : func_(func), count_(names.size()) {
  size_t k = 0;
  for (const char* n : names) names_[k++] = n;
  if (required > count_) required = count_;

  const Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  if (static_cast<size_t>(npos) > count_) {
    std::string msg = std::string(func_) + "() takes " + std::to_string(count_) +
                      " positional argument" + (count_ == 1 ? "" : "s") + " but " +
                      std::to_string(npos) + (npos == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
  }
  for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key))
        raise(PyExc_TypeError, std::string(func_) + "() keywords must be strings");
      std::string kname = utf8(key);
      size_t slot = count_;
      for (size_t i = 0; i < count_; ++i)
        if (kname == names_[i]) slot = i;
      if (slot == count_)
        raise(PyExc_TypeError,
              std::string(func_) + "() got an unexpected keyword argument '" + kname + "'");
      if (values_[slot] != nullptr)
        raise(PyExc_TypeError,
              std::string(func_) + "() got multiple values for argument '" + kname + "'");
      values_[slot] = value;
    }
  }

  std::array<size_t, kMax> missing{};
  size_t nmissing = 0;
  for (size_t i = 0; i < required; ++i)
    if (values_[i] == nullptr) missing[nmissing++] = i;
  if (nmissing > 0) {
    std::string msg = std::string(func_) + "() missing " + std::to_string(nmissing) +
                      " required positional argument" + (nmissing == 1 ? "" : "s") + ": " +
                      quoted_list(names_, missing, nmissing);
    raise(PyExc_TypeError, msg);
  }
}

long long integer_arg(PyObject* v, const char* name) {
  if (PyLong_Check(v)) return to_long(v);
  if (PyFloat_Check(v)) {
    double d = PyFloat_AsDouble(v);
    if (std::isnan(d))
      raise(PyExc_ValueError, std::string(name) + ": cannot convert float NaN to integer");
    if (std::isinf(d))
      raise(PyExc_OverflowError, std::string(name) + ": cannot convert float infinity to integer");
    d = std::trunc(d);
    if (d < -9.2233720368547758e18 || d >= 9.2233720368547758e18)
      raise(PyExc_OverflowError, std::string(name) + " is too large");
    return static_cast<long long>(d);
  }
  Ref numbers = import("numbers");
  Ref real_cls = attr(numbers, "Real");
  if (isinstance(v, real_cls.get())) {
    Ref truncated = call(attr(import("math"), "trunc"), v);
    if (!PyLong_Check(truncated.get()))
      raise(PyExc_TypeError, std::string(name) + " must be a real number, not " + type_name(v));
    return to_long(truncated.get());
  }
  raise(PyExc_TypeError, std::string(name) + " must be a real number, not " + type_name(v));
}

namespace {
PyObject* checked_str(PyObject* v, const char* name) {
  if (!PyUnicode_Check(v))
    raise(PyExc_TypeError, std::string(name) + " must be str, not " + type_name(v));
  return v;
}
}  // namespace

std::string text_arg(PyObject* v, const char* name) { return utf8(checked_str(v, name)); }

long long Params::integer(size_t i) const { return integer_arg(values_[i], names_[i]); }
std::string Params::text(size_t i) const { return text_arg(values_[i], names_[i]); }
PyObject* Params::str_object(size_t i) const { return checked_str(values_[i], names_[i]); }
PyObject* Params::dict(size_t i) const {
  if (!PyDict_Check(values_[i]))
    raise(PyExc_TypeError, std::string(names_[i]) + " must be dict, not " + type_name(values_[i]));
  return values_[i];
}

}  // namespace py
