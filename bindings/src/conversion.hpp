// The errors of argument and settings conversion.
//
// A value of the wrong kind is "'Q' object cannot be converted to 'T'" (Q the
// __qualname__ of the value's type, T the wanted kind). A failed argument
// conversion whose exception is exactly TypeError is re-raised as a TypeError
// naming the argument ("argument 'edges': ..."), keeping the original's
// __cause__; a failure of any other type passes through as it is.
#pragma once

#include <Python.h>

namespace tallow::bindings {

// Sets TypeError "'Q' object cannot be converted to 'target'" as the pending error.
void set_cannot_convert(PyObject* value, const char* target);

// Throws the pending error of a failed conversion of argument `name`.
[[noreturn]] void throw_argument_error(const char* name);

}  // namespace tallow::bindings
