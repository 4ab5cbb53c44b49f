// The extension module _native: the layout functions layout_raw and
// layout_nodes, and the multilevel layout's coarsening calls (coarsen_entry.hpp).
//
// A call binds and converts its arguments, copies the arrays into buffers of
// its own, reads the settings dictionary, builds the node and edge matrices,
// runs the layout with the interpreter lock released and returns the final
// positions as a new (n_nodes, 2) float64 array. layout_nodes takes the same
// eight arguments plus keyword-only per-node masses, sizes and pins and a
// finiteness check, and keeps one worker pool for the whole run. Every failure
// unwinds as a C++ exception to one handler per function, where it becomes the
// interpreter's error, with the lock held and every buffer already released.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "array_copy.hpp"
#include "coarsen_entry.hpp"
#include "fatal.hpp"
#include "graph_checks.hpp"
#include "internal_error.hpp"
#include "matrices.hpp"
#include "node_options.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "run.hpp"
#include "settings_dict.hpp"
#include "worker_pool.hpp"

namespace tallow::bindings {
namespace {

// The first block becomes __text_signature__; the rest is __doc__.
constexpr const char* layout_raw_doc =
    "layout_raw(n_nodes, edges, weights, init, iterations, threads, settings, progress)\n--\n\n"
    "Runs a ForceAtlas2 layout and returns the final `(n, 2)` f64 positions.\n"
    "\n"
    "Every array argument is copied into a buffer owned by the module up front, before the "
    "interpreter lock is released, so nothing borrowed from the interpreter is touched while "
    "the layout runs in the background. Without `progress` the whole iteration loop runs in a "
    "single lock-released block. With `progress`, each iteration runs in a lock-released block "
    "of its own, after which the lock is taken back and `progress(i, iterations)` is called. "
    "If the callback raises, the loop stops and the callback's own exception, not a generic "
    "error, is raised again from this call.";

constexpr const char* layout_nodes_doc =
    "layout_nodes(n_nodes, edges, weights, init, iterations, threads, settings, progress, *, "
    "mass=None, size=None, fixed=None, check_finite=False, tol=0.0)\n--\n\n"
    "Runs a ForceAtlas2 layout with per-node masses, sizes and pins; returns the final "
    "`(n, 2)` f64 positions.\n"
    "\n"
    "The eight positional arguments are those of layout_raw, and with no keyword-only argument "
    "the result is layout_raw's to the last bit. Unlike layout_raw, they are checked before "
    "any work: an edge end that is not a node below n_nodes, weights that are not one per "
    "edge, rows of fewer than 2 columns and a start position that is not finite in float32 "
    "are each a ValueError naming the argument. `mass` (float64, one per node, from 1.2e-38 "
    "to 1e10) replaces "
    "the mass of 1 plus the sum of the node's edge weights; `size` (float64, one per node, "
    ">= 0) replaces the size 1 that adjustSizes uses; a NaN mass or size keeps the node's "
    "default. With adjustSizes, sizes act in both repulsion modes: the exact mode reduces "
    "every pair's distance by both sizes; with barnesHutOptimize and `size` given, nodes that "
    "meet in a leaf of the Barnes-Hut tree follow the same rule, and a region acts as one body "
    "only when none of its nodes' discs (position +- size) can reach the moving node's, so no "
    "overlap hides in a far-field body (9 to 70 % more per iteration at 100,000 nodes). "
    "Without `size` the Barnes-Hut repulsion ignores sizes, as layout_raw's does. `fixed` (bool, one per node) "
    "pins nodes: a pinned node keeps its start position (rounded to float32) but still repels, "
    "attracts and counts in the Barnes-Hut tree, and its force and convergence slots evolve "
    "as for any other node. With `check_finite`, the run stops after the first iteration that "
    "leaves a position that is not finite and raises FloatingPointError(message, iteration, "
    "first_nodes, count). With `tol` above 0 the run ends early once the mean distance the "
    "unpinned nodes moved in a step, divided by the larger side of the layout's bounding box, "
    "has stayed below `tol` for 5 steps in a row; the progress callback then sees fewer "
    "iterations. Unlike layout_raw, one worker pool serves the whole run also with "
    "`progress`; it starts at most 4 workers per core this process may use, and a worker "
    "thread that the system refuses to start is done without.";

// ============================================================ arguments

// The call's own copies of the array arguments, the inputs of the matrices.
struct ArrayCopies {
  std::vector<tallow::EdgePair> edges;
  std::optional<std::vector<double>> weights;
  std::vector<tallow::Point> init;
};

// The copies taken during conversion; a copy that failed raises its error
// here, edges before init, as if the arrays were copied only now.
ArrayCopies take_copies(LayoutArguments& arguments) {
  ArrayCopies copies;
  copies.edges = arguments.edges.take();
  copies.weights = std::move(arguments.weights);
  copies.init = arguments.init.take();
  return copies;
}

// ============================================================ settings
// (read_settings, settings_dict.cpp)

// ============================================================ run

// Consumes the copies, so that they do not outlive the build.
tallow::Matrices build_matrices(std::uint64_t n_nodes, ArrayCopies copies) {
  std::optional<std::span<const double>> weights;
  if (copies.weights) {
    weights = std::span<const double>(*copies.weights);
  }
  return tallow::graph_to_matrices(n_nodes, copies.edges, weights, copies.init);
}

// ============================================================ result

// A new (rows, 2) float64 array filled straight from the node matrix's x and
// y slots, each widened exactly from f32.
PyRef positions_array(const tallow::NodeMatrix& nodes) {
  const std::size_t rows = nodes.size() / tallow::node_stride;
  double* out = nullptr;
  PyRef result = new_positions_array(static_cast<npy_intp>(rows), out);
  if (!result) {
    // Memory for the result is the caller's to manage like any other allocation.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      throw_pending_error();
    }
    if (PyErr_Occurred()) {
      PyErr_Print();
    }
    tallow::fatal("Python API call failed");
  }
  for (std::size_t i = 0; i < rows; ++i) {
    const float* node = nodes.data() + i * tallow::node_stride;
    out[2 * i] = static_cast<double>(node[tallow::slot::x]);
    out[2 * i + 1] = static_cast<double>(node[tallow::slot::y]);
  }
  return result;
}

// ============================================================ the call

PyObject* layout_raw_call(PyObject* args, PyObject* kwargs) {
  LayoutArguments arguments = convert_arguments(args, kwargs);
  ArrayCopies copies = take_copies(arguments);
  const tallow::LayoutSettings settings = read_settings(arguments.settings.get());
  tallow::Matrices matrices = build_matrices(arguments.n_nodes, std::move(copies));
  run_iterations(matrices, settings, arguments.iterations, arguments.threads,
                 arguments.progress.get());
  return positions_array(matrices.nodes).release();
}

std::vector<const char*> layout_nodes_parameters() {
  std::vector<const char*> names(layout_parameter_names.begin(), layout_parameter_names.end());
  names.insert(names.end(), node_option_names.begin(), node_option_names.end());
  return names;
}

tallow::NodeAttributes node_attributes(const NodeOptions& options) {
  tallow::NodeAttributes attributes;
  if (options.mass) {
    attributes.mass = *options.mass;
  }
  if (options.size) {
    attributes.size = *options.size;
  }
  if (options.fixed) {
    attributes.fixed = *options.fixed;
  }
  return attributes;
}

// Workers started per core this process may use. Results are the same for
// any count; more only add start-up cost and contention, and tens of
// thousands of threads can exhaust the system.
constexpr std::uint64_t workers_per_core = 4;

PyObject* layout_nodes_call(PyObject* args, PyObject* kwargs) {
  static const std::vector<const char*> names = layout_nodes_parameters();
  const Signature signature{"layout_nodes", names, layout_parameter_names.size()};
  BoundArguments bound = bind_arguments(signature, args, kwargs);
  LayoutArguments arguments = convert_layout_arguments(bound);
  check_graph_arguments(arguments);
  const NodeOptions options =
      convert_node_options(bound, layout_parameter_names.size(), arguments.n_nodes);
  ArrayCopies copies = take_copies(arguments);
  const tallow::LayoutSettings settings = read_settings(arguments.settings.get());
  tallow::Matrices matrices = build_matrices(arguments.n_nodes, std::move(copies));
  tallow::set_node_attributes(matrices.nodes, node_attributes(options));
  const std::uint64_t threads =
      std::min<std::uint64_t>(arguments.threads, workers_per_core * tallow::process_cores());
  run_iterations_in_one_block(
      matrices, settings, arguments.iterations, threads,
      RunControls{arguments.progress.get(), options.check_finite, options.tol,
                  /*sized_walks=*/options.size.has_value()});
  return positions_array(matrices.nodes).release();
}

// The one place per function where C++ failures become the interpreter's
// error. Every reference and buffer of the call has been released by the time
// a handler runs, and the lock is held again.
template <PyObject* (*call)(PyObject*, PyObject*)>
PyObject* guarded(const char* name, PyObject* args, PyObject* kwargs) {
  try {
    return call(args, kwargs);
  } catch (PythonError& error) {
    error.restore();
  } catch (const tallow::InternalError& error) {
    set_internal_error(error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_internal_error(error.what());
  } catch (...) {
    set_internal_error((std::string(name) + " failed with an unknown C++ exception").c_str());
  }
  return nullptr;
}

PyObject* layout_raw(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded<layout_raw_call>("layout_raw", args, kwargs);
}

PyObject* layout_nodes(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded<layout_nodes_call>("layout_nodes", args, kwargs);
}

PyObject* hierarchy(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded<hierarchy_call>("hierarchy", args, kwargs);
}

PyObject* merge_groups(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded<merge_groups_call>("merge_groups", args, kwargs);
}

// A PyCFunction taking keywords, as the method table stores it.
template <PyObject* (*function)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ============================================================ module

PyMethodDef module_methods[] = {
    {"layout_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_raw)),
     METH_VARARGS | METH_KEYWORDS, layout_raw_doc},
    {"layout_nodes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_nodes)),
     METH_VARARGS | METH_KEYWORDS, layout_nodes_doc},
    {"hierarchy", as_method<hierarchy>(), METH_VARARGS | METH_KEYWORDS, hierarchy_doc},
    {"merge_groups", as_method<merge_groups>(), METH_VARARGS | METH_KEYWORDS, merge_groups_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_native", "", -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase initialisation: the module exists once per process, owned by
// the interpreter that first imported it.
PyObject* cached_module = nullptr;
std::int64_t owning_interpreter = -1;

bool append_to_all(PyObject* module, const char* name) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return false;
    }
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  return entry && PyList_Append(all.get(), entry.get()) == 0;
}

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    return nullptr;
  }
  if (cached_module != nullptr) {
    if (interpreter != owning_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "tallow_forceatlas2._native can be initialised by only one interpreter "
                      "per process and was already initialised by another one; import it from "
                      "the main interpreter instead of a sub-interpreter");
      return nullptr;
    }
    Py_INCREF(cached_module);
    return cached_module;
  }
  if (!create_internal_error_class()) {
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) {
    return nullptr;
  }
  for (const char* name : {"layout_raw", "layout_nodes", "hierarchy", "merge_groups"}) {
    if (!append_to_all(module.get(), name)) {
      return nullptr;
    }
  }
  cached_module = PyRef::borrow(module.get()).release();  // kept for the life of the process
  owning_interpreter = interpreter;
  return module.release();
}

}  // namespace
}  // namespace tallow::bindings

PyMODINIT_FUNC PyInit__native(void) { return tallow::bindings::init_module(); }
