#include "arguments.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <string>

#include "conversion.hpp"
#include "internal_error.hpp"
#include "numpy_api.hpp"

namespace tallow::bindings {
namespace {

// Positions of the parameters shared by every layout function.
enum Parameter : std::size_t {
  n_nodes_parameter,
  edges_parameter,
  weights_parameter,
  init_parameter,
  iterations_parameter,
  threads_parameter,
  settings_parameter,
  progress_parameter,
  parameter_count,
};

constexpr std::array<const char*, parameter_count> parameter_names = {
    "n_nodes", "edges", "weights", "init", "iterations", "threads", "settings", "progress"};

[[noreturn]] void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_pending_error();
}

std::size_t parameter_index(const Signature& signature, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) {
    throw_type_error(std::string(signature.function) + "() keywords must be strings");
  }
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) {
      return i;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
               signature.function, keyword);
  throw_pending_error();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own joining.
[[noreturn]] void throw_missing(const Signature& signature, const BoundArguments& bound) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.positional; ++i) {
    missing += bound[i] ? 0 : 1;
  }
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.positional; ++i) {
    if (bound[i]) {
      continue;
    }
    ++listed;
    if (listed > 1) {
      names += missing == 2 ? " and " : (listed == missing ? ", and " : ", ");
    }
    names += std::string("'") + signature.names[i] + "'";
  }
  throw_type_error(
      std::string(signature.function) + "() missing " + std::to_string(missing) +
      (missing == 1 ? " required positional argument: " : " required positional arguments: ") +
      names);
}

// n_nodes and threads: an int goes straight to the unsigned conversion, any
// other object through __index__ first.
std::uint64_t to_u64(PyObject* value, const char* name) {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
      throw_argument_error(name);
    }
    value = index.get();
  }
  const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw_argument_error(name);
  }
  return converted;
}

static_assert(sizeof(long) == 8, "iterations are read through a 64-bit C long");

std::uint32_t to_iterations(PyObject* value) {
  const long converted = PyLong_AsLong(value);
  if (converted == -1 && PyErr_Occurred()) {
    throw_argument_error(parameter_names[iterations_parameter]);
  }
  if (converted < 0 || converted > long{UINT32_MAX}) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw_pending_error();
  }
  return static_cast<std::uint32_t>(converted);
}

PyRef to_dict(PyRef value) {
  if (!PyDict_Check(value.get())) {
    set_cannot_convert(value.get(), "PyDict");
    throw_argument_error(parameter_names[settings_parameter]);
  }
  return value;
}

PyRef none_to_null(PyRef value) { return value.get() == Py_None ? PyRef() : std::move(value); }

}  // namespace

const std::span<const char* const> layout_parameter_names = parameter_names;

BoundArguments bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
  BoundArguments bound(signature.names.size());
  const Py_ssize_t positional = PyTuple_Size(args);
  if (positional < 0) {
    throw_pending_error();
  }
  if (positional > static_cast<Py_ssize_t>(signature.positional)) {
    throw_type_error(std::string(signature.function) + "() takes " +
                     std::to_string(signature.positional) + " positional arguments but " +
                     std::to_string(positional) + " were given");
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    PyObject* const value = PyTuple_GetItem(args, i);
    if (value == nullptr) {
      throw_pending_error();
    }
    bound[static_cast<std::size_t>(i)] = PyRef::borrow(value);
  }
  Py_ssize_t position = 0;
  PyObject* keyword = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
    const std::size_t index = parameter_index(signature, keyword);
    if (bound[index]) {
      throw_type_error(std::string(signature.function) + "() got multiple values for argument '" +
                       signature.names[index] + "'");
    }
    bound[index] = PyRef::borrow(value);
  }
  for (std::size_t i = 0; i < signature.positional; ++i) {
    if (!bound[i]) {
      throw_missing(signature, bound);
    }
  }
  return bound;
}

void check_array(PyObject* value, const char* name, int ndim, int type_number) {
  if (!is_array_of(value, ndim, type_number)) {
    set_cannot_convert(value, "PyArray<T, D>");
    throw_argument_error(name);
  }
}

// Each array is copied right after its check: the hooks of later arguments
// run Python code that could otherwise change it between check and copy.
LayoutArguments convert_layout_arguments(BoundArguments& bound) {
  LayoutArguments converted;
  converted.n_nodes = to_u64(bound[n_nodes_parameter].get(), parameter_names[n_nodes_parameter]);
  PyObject* const edges = bound[edges_parameter].get();
  check_array(edges, parameter_names[edges_parameter], 2, npy_uint32);
  converted.edges = copy_edges(edges);
  PyRef weights = none_to_null(std::move(bound[weights_parameter]));
  if (weights) {
    check_array(weights.get(), parameter_names[weights_parameter], 1, npy_float64);
    converted.weights = copy_doubles(weights.get());
  }
  PyObject* const init = bound[init_parameter].get();
  check_array(init, parameter_names[init_parameter], 2, npy_float64);
  converted.init = copy_init(init);
  converted.iterations = to_iterations(bound[iterations_parameter].get());
  converted.threads = to_u64(bound[threads_parameter].get(), parameter_names[threads_parameter]);
  converted.settings = to_dict(std::move(bound[settings_parameter]));
  converted.progress = none_to_null(std::move(bound[progress_parameter]));
  return converted;
}

LayoutArguments convert_arguments(PyObject* args, PyObject* kwargs) {
  const Signature signature{"layout_raw", parameter_names, parameter_count};
  BoundArguments bound = bind_arguments(signature, args, kwargs);
  return convert_layout_arguments(bound);
}

}  // namespace tallow::bindings
