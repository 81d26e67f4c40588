// Owned references to Python objects.
#pragma once

#include <utility>

#include "python.hpp"

namespace py {

// Owns one strong reference (or none). Copying adds a reference, moving transfers it.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() { Py_XDECREF(p_); }

  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Takes over a new reference returned by the C API. Throws the pending Python error when
  // `p` is null, so every `Ref::steal(PyXxx(...))` doubles as an error check.
  static Ref steal(PyObject* p);
  // Adds a reference to a borrowed pointer (which may be null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over a new reference that may legitimately be null (no error check).
  static Ref adopt(PyObject* p) noexcept { return Ref(p); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* other) const noexcept { return p_ == other; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace py
