// Running the layout with the interpreter lock released.
//
// The lock is released only around the kernel's work on the call's own
// matrices, never while an interpreter object is touched, and is taken back
// on every way out, a fatal internal error included. Without a progress
// callback the whole run is one lock-released block; with one, every iteration
// is a block of its own, after which `progress(i, iterations)` is called on the
// calling thread with the lock held. Both modes give the same bits, because a
// run keeps all of its state in the node matrix.
#pragma once

#include <Python.h>

#include <cstdint>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow::bindings {

// `progress` is null for no callback. A raising callback ends the run with
// its own exception (thrown as PythonError) after the iterations it has seen.
void run_iterations(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
                    std::uint32_t iterations, std::uint64_t threads, PyObject* progress);

}  // namespace tallow::bindings
