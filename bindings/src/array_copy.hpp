// Copies of the array arguments into buffers owned by the call.
//
// Taken with the interpreter lock held, before it is released, so that the
// layout never touches interpreter memory. Every element is read at its own
// address in logical row-major order, whatever the strides (negative, zero,
// unaligned); nothing is written to the arrays. Cost: one pass over each.
#pragma once

#include <Python.h>

#include <vector>

#include "matrices.hpp"

namespace tallow::bindings {

// One (source, target) pair per row of a 2-D uint32 array; columns beyond the
// second are ignored. A row with fewer than two columns is the fatal index error.
std::vector<tallow::EdgePair> copy_edges(PyObject* edges);

// The values of a 1-D float64 array, in index order.
std::vector<double> copy_weights(PyObject* weights);

// One (x, y) pair per row of a 2-D float64 array, under the same rule as edges.
std::vector<tallow::Point> copy_init(PyObject* init);

}  // namespace tallow::bindings
