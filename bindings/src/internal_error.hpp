// How failures cross the boundary between the interpreter and C++.
//
// Two kinds of failure unwind a layout_raw call as C++ exceptions, so that
// every reference and buffer of the call is released on the way out:
// - PythonError: an exception fetched from the interpreter (a failed C-API
//   call, a raising conversion hook or progress callback). It is put back
//   exactly as fetched, not normalised or wrapped.
// - tallow::InternalError: a fatal internal error of the kernel or of the
//   bindings. It reaches the caller as the internal-error exception, a class
//   derived directly from BaseException so that `except Exception` cannot
//   swallow it. The class is created once per process and is deliberately not
//   a module attribute.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace tallow::bindings {

class PythonError {
 public:
  PythonError(PyRef type, PyRef value, PyRef traceback) noexcept
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }

  // Turns the value into an instance of the type (needed to read its text).
  void normalize() noexcept;

  // Puts the exception back as the interpreter's pending error.
  void restore() noexcept;

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// Creates the internal-error class. Returns false with a Python error set.
bool create_internal_error_class() noexcept;

// Sets a new internal-error exception whose single argument is `text`.
void set_internal_error(const char* text) noexcept;

// Fetches the pending exception after a failed C-API call; a failure that set
// no exception becomes SystemError. An exception of the internal-error class
// itself is not passed on: a notice and its traceback go to standard error and
// it becomes a fatal internal error of this call with the same text.
PythonError fetch_pending_error();

// fetch_pending_error(), thrown.
[[noreturn]] void throw_pending_error();

}  // namespace tallow::bindings
