// One owner for interpreter references.
//
// Every PyObject* the module holds beyond a single line lives in a PyRef, so
// that every way out of a call (a return, a Python error, a fatal internal
// error unwinding as a C++ exception) releases it. A PyRef is only created,
// moved and destroyed with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace tallow::bindings {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference, as returned by most C-API calls (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

  // Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller, e.g. as a function's return value.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  // For C-API calls that fill a PyObject** out-parameter with a new reference.
  PyObject** out() noexcept {
    Py_XDECREF(object_);
    object_ = nullptr;
    return &object_;
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tallow::bindings
