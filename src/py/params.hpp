// Argument parsing by position or by name with an exact count, and the project's type rules:
// an integer parameter takes any real number and truncates it toward zero; a text parameter
// takes str only; anything else is a TypeError naming the parameter.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "ref.hpp"

namespace py {

class Params {
 public:
  static constexpr size_t kMax = 8;

  // Binds `args`/`kwargs` of a call of `func` to the parameter `names`. The first `required`
  // parameters must be given (all of them by default); the rest may be left out. Errors are
  // the TypeErrors Python gives a function defined with these parameters.
  Params(const char* func, PyObject* args, PyObject* kwargs,
         std::initializer_list<const char*> names, size_t required = kMax);

  // The argument (borrowed), or null for an optional parameter that was left out.
  PyObject* operator[](size_t i) const { return values_[i]; }
  bool given(size_t i) const { return values_[i] != nullptr; }
  const char* name(size_t i) const { return names_[i]; }

  // The integer rule: int and bool as they are, float and any numbers.Real truncated toward
  // zero; anything else raises TypeError "<name> must be a real number, not <type>".
  long long integer(size_t i) const;
  // The text rule: a str (subclasses too); anything else raises TypeError
  // "<name> must be str, not <type>".
  std::string text(size_t i) const;
  // The argument as a str object (borrowed), with the same check as text().
  PyObject* str_object(size_t i) const;
  // A dict (subclasses too); anything else raises TypeError "<name> must be dict, not <type>".
  PyObject* dict(size_t i) const;

 private:
  const char* func_;
  size_t count_;
  std::array<const char*, kMax> names_{};
  std::array<PyObject*, kMax> values_{};
};

// The integer rule applied to one value, for callers outside a Params.
long long integer_arg(PyObject* value, const char* name);
std::string text_arg(PyObject* value, const char* name);

}  // namespace py
