#include "internal_error.hpp"

#include <string>

#include "fatal.hpp"

namespace tallow::bindings {
namespace {

// Owned for the life of the process: the class must stay the same object for
// every call, also after a failed one.
PyObject* internal_error_class = nullptr;

constexpr const char* internal_error_doc =
    "A fatal internal error of the native layout (a broken invariant such as an index out of "
    "bounds). Derived directly from BaseException so that `except Exception` does not "
    "swallow it; the module stays usable afterwards.";

constexpr const char* unreadable_text =
    "internal error fetched from the interpreter (its text could not be read)";

// str() of the exception value, or the fallback text when str() itself fails.
std::string text_of(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) {
    PyErr_Clear();
    return unreadable_text;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return unreadable_text;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// An internal error raised inside the interpreter (say by a nested layout_raw
// call in a progress callback) is not passed through as an ordinary exception:
// its traceback is shown, and this call fails with an internal error of its own.
[[noreturn]] void resume_internal_error(PythonError error) {
  error.normalize();
  const std::string text = text_of(error.value());
  PySys_WriteStderr(
      "tallow_forceatlas2: resuming an internal error fetched from the interpreter.\n");
  PySys_WriteStderr("tallow_forceatlas2: the fetched exception and its traceback follow.\n");
  error.restore();
  PyErr_PrintEx(0);
  tallow::fatal(text);
}

}  // namespace

void PythonError::normalize() noexcept {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = PyRef::steal(type);
  value_ = PyRef::steal(value);
  traceback_ = PyRef::steal(traceback);
}

void PythonError::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool create_internal_error_class() noexcept {
  if (internal_error_class != nullptr) {
    return true;
  }
  internal_error_class = PyErr_NewExceptionWithDoc(
      "tallow_forceatlas2._native.InternalError", internal_error_doc, PyExc_BaseException, nullptr);
  return internal_error_class != nullptr;
}

void set_internal_error(const char* text) noexcept {
  PyErr_SetString(internal_error_class != nullptr ? internal_error_class : PyExc_SystemError, text);
}

PythonError fetch_pending_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyRef type;
  PyRef value;
  PyRef traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PythonError error(std::move(type), std::move(value), std::move(traceback));
  if (internal_error_class != nullptr &&
      PyErr_GivenExceptionMatches(error.type(), internal_error_class)) {
    resume_internal_error(std::move(error));
  }
  return error;
}

void throw_pending_error() { throw fetch_pending_error(); }

}  // namespace tallow::bindings
