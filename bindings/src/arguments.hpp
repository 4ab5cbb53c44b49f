// Binding and converting the eight arguments of layout_raw.
//
// Binding follows the interpreter's own rules and messages for a function
// whose eight parameters are all required and may each be passed by position
// or by keyword. Conversion runs in parameter order and stops at the first
// failure. Arrays are only checked here, not yet copied.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_ref.hpp"

namespace tallow::bindings {

struct LayoutArguments {
  std::uint64_t n_nodes = 0;
  PyRef edges;    // 2-D array of a type equivalent to uint32
  PyRef weights;  // 1-D array of a type equivalent to float64; null for None
  PyRef init;     // 2-D array of a type equivalent to float64
  std::uint32_t iterations = 0;
  std::uint64_t threads = 0;
  PyRef settings;  // dict or dict subclass
  PyRef progress;  // any object; null for None
};

// Binds and converts the positional tuple `args` and the keyword dictionary
// `kwargs` (may be null). Throws PythonError or a fatal internal error.
LayoutArguments convert_arguments(PyObject* args, PyObject* kwargs);

}  // namespace tallow::bindings
