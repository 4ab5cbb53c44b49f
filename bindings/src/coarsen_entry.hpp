// The multilevel layout's coarsening calls: hierarchy and merge_groups.
//
// Each binds its arguments like the layout functions do, checks and copies
// every array (int64 node indices below n_nodes, float64 weights and masses,
// one per edge or node) before any work, runs the kernel with the interpreter
// lock released and returns its int64 and float64 results as bytearrays in
// native byte order (numpy.frombuffer reads them without a copy). Wrong types
// are TypeErrors, wrong lengths and values ValueErrors naming the argument and
// the entry; C++ failures unwind to the caller's one handler (lib.cpp).
#pragma once

#include <Python.h>

namespace tallow::bindings {

extern const char* const hierarchy_doc;
extern const char* const merge_groups_doc;

PyObject* hierarchy_call(PyObject* args, PyObject* kwargs);
PyObject* merge_groups_call(PyObject* args, PyObject* kwargs);

}  // namespace tallow::bindings
