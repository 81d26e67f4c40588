// Argument parsing by position or by name with an exact count, and the project's type rules:
// an integer parameter takes any real number and truncates it toward zero; a text parameter
// takes str only; anything else is a TypeError naming the parameter.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "ref.hpp"
#include "signature.hpp"

namespace py {

class Params {
 public:
  // Binds `args`/`kwargs` of a call to the declared parameters. The required ones must be
  // given; the rest may be left out. Errors are the TypeErrors Python gives a function
  // defined with these parameters.
  Params(const Signature& sig, PyObject* args, PyObject* kwargs);

  // The argument (borrowed), or null for an optional parameter that was left out.
  PyObject* operator[](size_t i) const { return values_[checked(i)]; }
  bool given(size_t i) const { return values_[checked(i)] != nullptr; }
  const char* name(size_t i) const { return sig_.names[checked(i)]; }
  // The positional arguments beyond the named ones, as a tuple (a declaration with *args).
  const Ref& rest() const { return rest_; }

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
  // The contents of bytes or a bytearray; anything else raises TypeError
  // "<name> must be bytes, not <type>".
  std::string bytes(size_t i) const;

 private:
  size_t checked(size_t i) const;

  const Signature& sig_;
  std::array<PyObject*, kMaxParams> values_{};
  Ref rest_;
};

// The integer and text rules applied to one value, for callers outside a Params.
long long integer_arg(PyObject* value, const char* name);
std::string text_arg(PyObject* value, const char* name);

}  // namespace py
