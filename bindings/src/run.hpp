// Running the layout with the interpreter lock released.
//
// The lock is released only around the kernel's work on the call's own
// matrices, never while an interpreter object is touched, and is taken back
// on every way out, a fatal internal error included. Every mode gives the same
// bits, because a run keeps all of its state in the node matrix.
#pragma once

#include <Python.h>

#include <cstdint>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow::bindings {

// layout_raw's run. Without a progress callback the whole run is one
// lock-released block; with one, every iteration is a block of its own with a
// pool of its own, after which `progress(i, iterations)` is called on the
// calling thread with the lock held. `progress` is null for no callback. A
// raising callback ends the run with its own exception (thrown as
// PythonError) after the iterations it has seen.
void run_iterations(tallow::Matrices& matrices, const tallow::LayoutSettings& settings,
                    std::uint32_t iterations, std::uint64_t threads, PyObject* progress);

// layout_nodes' run: one lock-released block and one worker pool for the whole
// run, also with a progress callback, for which the lock is taken back between
// two iterations while the pool idles. Worker threads that the system refuses
// to start are done without (the calling thread runs the loops when none
// starts). With `check_finite`, the run stops after the first iteration that
// leaves a position that is not finite, with FloatingPointError(message,
// iteration, first nodes, count). With a `tolerance` above 0, the run ends
// early, without error, once the layout has settled (convergence.hpp).
struct RunControls {
  PyObject* progress = nullptr;  // null for no callback
  bool check_finite = false;
  double tolerance = 0.0;
  bool sized_walks = false;  // sizes were given: with adjustSizes the Barnes-Hut walks use them
};
void run_iterations_in_one_block(tallow::Matrices& matrices,
                                 const tallow::LayoutSettings& settings,
                                 std::uint32_t iterations, std::uint64_t threads,
                                 const RunControls& controls);

}  // namespace tallow::bindings
