// Reading the settings dictionary into the kernel's LayoutSettings record.
//
// The ten keys are looked up one at a time in a fixed order (which is also the
// order in which conversion errors are found) with the dictionary's own lookup,
// so a dict subclass's __getitem__ or __missing__ is never consulted. An absent
// key keeps its default; other keys are ignored. Booleans must be `bool` (or a
// NumPy bool scalar); numbers go through the interpreter's float conversion.
// The first failure is raised as it is, with no argument prefix.
#pragma once

#include <Python.h>

#include "settings.hpp"

namespace tallow::bindings {

// `settings` is a dict or dict subclass. Throws PythonError on a bad value.
tallow::LayoutSettings read_settings(PyObject* settings);

}  // namespace tallow::bindings
