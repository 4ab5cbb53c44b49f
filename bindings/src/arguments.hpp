// Binding and converting the arguments of the layout functions.
//
// Binding follows the interpreter's own rules and messages for a function
// whose first parameters are required and may each be passed by position or
// by keyword, optionally followed by keyword-only parameters with defaults.
// Conversion runs in parameter order and stops at the first failure. Each
// array is copied as soon as it passes its check (see array_copy.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array_copy.hpp"
#include "py_ref.hpp"

namespace tallow::bindings {

// A function's parameters: `positional` required ones that may come by
// position or by keyword, then optional keyword-only ones.
struct Signature {
  const char* function;
  std::span<const char* const> names;
  std::size_t positional;
};

// One owned reference per parameter, null where a keyword-only one is absent.
// Owned: a conversion hook may run Python code that mutates the caller's
// keyword dictionary while the values are still in use.
using BoundArguments = std::vector<PyRef>;

BoundArguments bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

// The eight arguments every layout function starts with, converted.
struct LayoutArguments {
  std::uint64_t n_nodes = 0;
  RowPairs<std::uint32_t> edges;               // of a 2-D array equivalent to uint32
  std::optional<std::vector<double>> weights;  // of a 1-D float64 array; absent for None
  RowPairs<double> init;                       // of a 2-D float64 array
  std::uint32_t iterations = 0;
  std::uint64_t threads = 0;
  PyRef settings;  // dict or dict subclass
  PyRef progress;  // any object; null for None
};

// The names of the eight, in order, for a Signature.
extern const std::span<const char* const> layout_parameter_names;

// Converts bound[0] to bound[7]. Throws PythonError or a fatal internal error.
LayoutArguments convert_layout_arguments(BoundArguments& bound);

// Binds and converts the arguments of layout_raw.
LayoutArguments convert_arguments(PyObject* args, PyObject* kwargs);

// "'Q' object cannot be converted to 'PyArray<T, D>'" naming argument `name`,
// thrown unless `value` is a NumPy array of `ndim` dimensions whose element
// type is equivalent to `type_number`.
void check_array(PyObject* value, const char* name, int ndim, int type_number);

}  // namespace tallow::bindings
