#include "error.hpp"

#include <cerrno>

namespace py {

Error::Error() noexcept {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "C++ code raised without a pending Python exception");
    PyErr_Fetch(&type, &value, &tb);
  }
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  type_ = Ref::adopt(type);
  value_ = Ref::adopt(value);
  traceback_ = Ref::adopt(tb);
}

void Error::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool Error::matches(PyObject* exc_type) const noexcept {
  return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

Ref Ref::steal(PyObject* p) {
  if (p == nullptr) throw_pending();
  return Ref(p);
}

void throw_pending() { throw Error(); }

void raise(PyObject* exc_type, const std::string& message) {
  raise(exc_type, Ref::steal(PyUnicode_DecodeUTF8(
                      message.data(), static_cast<Py_ssize_t>(message.size()), "replace")));
}

void raise(PyObject* exc_type, const Ref& message) {
  PyErr_SetObject(exc_type, message.get());
  throw Error();
}

void raise_from(PyObject* exc_type, const Ref& message, const Error& cause) {
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(exc_type, message.get(), nullptr));
  if (PyObject* value = cause.value()) {
    Py_INCREF(value);
    PyException_SetCause(exc.get(), value);  // steals the reference
  }
  PyErr_SetObject(exc_type, exc.get());
  throw Error();
}

void raise_with(PyObject* exc_type, const Ref& args_tuple) {
  PyErr_SetObject(exc_type, args_tuple.get());
  throw Error();
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (Error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error& e) {
    // Operating-system failures become OSError (or its errno subclass) with the system's text.
    int code = e.code().category() == std::generic_category() ||
                       e.code().category() == std::system_category()
                   ? e.code().value()
                   : 0;
    if (code != 0) {
      errno = code;
      PyErr_SetFromErrno(PyExc_OSError);
    } else {
      PyErr_SetString(PyExc_OSError, e.what());
    }
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace py
