// Letting other Python threads run while native code waits.
#pragma once

#include <utility>

#include "error.hpp"
#include "python.hpp"

namespace py {

// Releases the GIL for its lifetime and takes it back when it ends, also when an exception
// leaves the scope: the exception then continues with the GIL held, so catching it (and
// turning it into a Python exception at the boundary) is safe. Code inside must not touch
// Python: no Ref, no py:: call.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// fn() with the GIL released; its result or its exception arrives with the GIL held again.
template <class F>
decltype(auto) without_gil(F&& fn) {
  GilReleased released;
  return std::forward<F>(fn)();
}

// Runs pending signal handlers (Ctrl-C raises KeyboardInterrupt here) between slices of a
// long native wait.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_pending();
}

}  // namespace py
