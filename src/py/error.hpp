// Python exceptions carried through C++ and back.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

#include "ref.hpp"

namespace py {

// A Python exception in flight through C++ code. Constructing one takes the interpreter's
// pending exception; `restore` hands it back when control returns to Python. The type, value
// and traceback are kept untouched, so KeyboardInterrupt, SystemExit and host errors come out
// exactly as they went in.
class Error : public std::exception {
 public:
  Error() noexcept;  // takes the pending exception (a SystemError if, wrongly, none is set)
  const char* what() const noexcept override { return "Python exception"; }
  // Sets this exception as the interpreter's pending one; the Error is empty afterwards.
  void restore() noexcept;
  // True when the exception is an instance of `exc_type` (a class or tuple of classes).
  bool matches(PyObject* exc_type) const noexcept;
  PyObject* value() const noexcept { return value_.get(); }

 private:
  Ref type_, value_, traceback_;
};

// Throws the pending Python exception.
[[noreturn]] void throw_pending();
// Raises a new exception of `exc_type` with a UTF-8 message.
[[noreturn]] void raise(PyObject* exc_type, const std::string& message);
// Raises a new exception of `exc_type` whose message is a str object (see py::format).
[[noreturn]] void raise(PyObject* exc_type, const Ref& message);
// Raises a new exception of `exc_type` with `message` whose cause (`raise ... from`) is `cause`,
// so that the original error stays in the traceback.
[[noreturn]] void raise_from(PyObject* exc_type, const Ref& message, const Error& cause);
// Raises `exc_type(*args)` for an exception built from arguments (e.g. OSError(errno, text, path)).
[[noreturn]] void raise_with(PyObject* exc_type, const Ref& args_tuple);

// Sets the pending Python exception that matches the C++ exception being handled. Call only
// inside a catch block.
void translate_current_exception() noexcept;

// Runs `body`, then `clean_up` on every exit, and returns what `body` returns. When `body`
// fails, its error (an interruption included) is what leaves, even if `clean_up` then raises a
// Python error too; a clean-up that fails after a good `body` raises its own.
template <class Body, class CleanUp>
auto with_clean_up(Body&& body, CleanUp&& clean_up) {
  auto run = [&]() -> decltype(auto) {
    try {
      return body();
    } catch (...) {
      try {
        clean_up();
      } catch (Error&) {
      }
      throw;
    }
  };
  if constexpr (std::is_void_v<decltype(run())>) {
    run();
    clean_up();
  } else {
    auto result = run();
    clean_up();
    return result;
  }
}

// Runs `body` (returning Ref) at the boundary back into Python: the result is handed over as a
// new reference, and any exception becomes a pending Python exception with a null result.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// Same for slots that report failure as -1 (module exec, setters, tp_init).
template <class Body>
int guard_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

}  // namespace py
