#include "settings_dict.hpp"

#include "conversion.hpp"
#include "internal_error.hpp"
#include "py_ref.hpp"

namespace tallow::bindings {
namespace {

// The value stored under `key`, or null when the key is absent. Owned, since
// converting it may run Python code that changes the dictionary.
PyRef lookup(PyObject* settings, const char* key) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  if (!name) {
    throw_pending_error();
  }
  PyRef value = PyRef::borrow(PyDict_GetItemWithError(settings, name.get()));
  if (!value && PyErr_Occurred()) {
    throw_pending_error();
  }
  return value;
}

bool type_attribute_is(PyObject* type, const char* attribute, const char* wanted) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(type, attribute));
  if (!value) {
    PyErr_Clear();  // a type without the attribute is simply not NumPy's bool
    return false;
  }
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), wanted) == 0;
}

// numpy.bool_ (NumPy 1.x) or numpy.bool (NumPy 2.x), recognised without importing NumPy.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  return type_attribute_is(type, "__module__", "numpy") &&
         (type_attribute_is(type, "__name__", "bool_") ||
          type_attribute_is(type, "__name__", "bool"));
}

[[noreturn]] void throw_not_bool(PyObject* value) {
  set_cannot_convert(value, "PyBool");
  throw_pending_error();
}

bool to_bool(PyObject* value) {
  if (PyBool_Check(value)) {
    return value == Py_True;
  }
  if (!is_numpy_bool(value)) {
    throw_not_bool(value);
  }
  // The type's own __bool__, as the interpreter looks up special methods.
  PyRef method =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__bool__"));
  if (!method) {
    PyErr_Clear();
    throw_not_bool(value);
  }
  PyRef truth = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
  if (!truth) {
    throw_pending_error();
  }
  if (!PyBool_Check(truth.get())) {
    throw_not_bool(truth.get());
  }
  return truth.get() == Py_True;
}

void read_bool(PyObject* settings, const char* key, bool& field) {
  if (PyRef value = lookup(settings, key)) {
    field = to_bool(value.get());
  }
}

void read_f64(PyObject* settings, const char* key, double& field) {
  if (PyRef value = lookup(settings, key)) {
    const double converted = PyFloat_AsDouble(value.get());
    if (converted == -1.0 && PyErr_Occurred()) {
      throw_pending_error();
    }
    field = converted;
  }
}

}  // namespace

tallow::LayoutSettings read_settings(PyObject* settings) {
  tallow::LayoutSettings record;  // the defaults for absent keys
  read_bool(settings, "linLogMode", record.linLogMode);
  read_bool(settings, "outboundAttractionDistribution", record.outboundAttractionDistribution);
  read_bool(settings, "adjustSizes", record.adjustSizes);
  read_f64(settings, "edgeWeightInfluence", record.edgeWeightInfluence);
  read_f64(settings, "scalingRatio", record.scalingRatio);
  read_bool(settings, "strongGravityMode", record.strongGravityMode);
  read_f64(settings, "gravity", record.gravity);
  read_f64(settings, "slowDown", record.slowDown);
  read_bool(settings, "barnesHutOptimize", record.barnesHutOptimize);
  read_f64(settings, "barnesHutTheta", record.barnesHutTheta);
  return record;
}

}  // namespace tallow::bindings
