#include "conversion.hpp"

#include "internal_error.hpp"
#include "py_ref.hpp"

namespace tallow::bindings {

void set_cannot_convert(PyObject* value, const char* target) {
  PyRef qualname = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  if (!qualname) {
    return;  // the failed lookup's own error is the pending one
  }
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", qualname.get(), target);
}

void throw_argument_error(const char* name) {
  PythonError error = fetch_pending_error();
  // Exactly TypeError: subclasses carry meaning of their own and pass through.
  if (error.type() != PyExc_TypeError) {
    throw error;
  }
  error.normalize();
  if (error.value() == nullptr ||
      Py_TYPE(error.value()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    throw error;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, error.value()));
  if (!message) {
    throw_pending_error();
  }
  PyRef renamed =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) {
    throw_pending_error();
  }
  if (PyObject* cause = PyException_GetCause(error.value())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, renamed.get());
  throw_pending_error();
}

}  // namespace tallow::bindings
