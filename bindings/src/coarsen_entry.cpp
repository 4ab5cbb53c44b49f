#include "coarsen_entry.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "communities.hpp"
#include "conversion.hpp"
#include "internal_error.hpp"
#include "hierarchy.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "released_lock.hpp"

namespace tallow::bindings {

const char* const hierarchy_doc =
    "hierarchy(n_nodes, edges, weights, mass, coarsest_nodes, seed)\n--\n\n"
    "Coarsens a graph level by level for the multilevel layout; returns a list of (count, "
    "parent, edges, weights, mass), the first coarse level first.\n"
    "\n"
    "`edges` is a (k, 2) int64 array of node indices below `n_nodes`, each undirected pair "
    "once and no self-loops (merge_groups with every node its own group gives that), "
    "`weights` a (k,) float64 array of finite weights >= 0, `mass` a float64 array of one "
    "finite mass > 0 per node. Nodes merge inside Louvain communities while they can, then "
    "across them, until at most `coarsest_nodes` remain or merging stalls. Per level: "
    "`parent` int64 bytes, the node of the level that each node of the level before it became; `edges` int64 bytes of "
    "(k, 2) pairs, smaller index first, sorted; `weights` and `mass` float64 bytes, summed. "
    "The same `seed` gives the same levels. Runs without the interpreter lock.";

const char* const merge_groups_doc =
    "merge_groups(n_nodes, edges, weights, group)\n--\n\n"
    "Merges the nodes of equal `group` (int64, one per node, below n_nodes) into one node each; "
    "returns (count, parent, edges, weights): `parent` int64 bytes, the merged node of every "
    "node, numbered in increasing group order; `edges` int64 bytes of (k, 2) pairs, smaller "
    "index first, sorted, each pair once; `weights` float64 bytes, the summed weights of the "
    "edges each pair stands for. Edges inside a group are dropped. Runs without the "
    "interpreter lock.";

namespace {

constexpr int npy_int64 = 9;  // NPY_LONGLONG: 64 bits everywhere; equivalent to int64

[[noreturn]] void throw_error(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_pending_error();
}

// Node indices are u32 and one value stays free as the kernel's "no node".
std::uint32_t to_node_count(PyObject* value, const char* entry, const char* name = "n_nodes") {
  const Py_ssize_t n = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) {
    throw_argument_error(name);
  }
  if (n < 0 || n >= static_cast<Py_ssize_t>(UINT32_MAX)) {
    throw_error(PyExc_ValueError, std::string(entry) + "(): " + name +
                                      " must be between 0 and 4294967294, not " +
                                      std::to_string(n));
  }
  return static_cast<std::uint32_t>(n);
}

ArrayView checked_view(PyObject* value, const char* entry, const char* name, int ndim,
                       int type_number, const char* wanted) {
  if (!is_array_of(value, ndim, type_number)) {
    throw_error(PyExc_TypeError, std::string(entry) + "(): " + name + " must be " + wanted +
                                     "; convert it with numpy.asarray");
  }
  return view_of(value);
}

[[noreturn]] void throw_length(const char* entry, const char* name, npy_intp length,
                               std::size_t wanted, const char* what) {
  throw_error(PyExc_ValueError, std::string(entry) + "(): " + name + " has " +
                                    std::to_string(length) + " entries but needs one per " +
                                    what + " (" + std::to_string(wanted) + ")");
}

// `where` names the entry for the message, built only on failure.
[[noreturn]] void throw_not_a_node(const char* entry, const std::string& where,
                                   std::int64_t value, std::uint32_t n_nodes) {
  throw_error(PyExc_ValueError, std::string(entry) + "(): " + where + " is " +
                                    std::to_string(value) + ", not a node index below n_nodes (" +
                                    std::to_string(n_nodes) + ")");
}

bool is_node(std::int64_t value, std::uint32_t n_nodes) noexcept {
  return value >= 0 && value < static_cast<std::int64_t>(n_nodes);
}

std::vector<EdgePair> copy_edges(PyObject* value, std::uint32_t n_nodes, const char* entry) {
  const ArrayView view =
      checked_view(value, entry, "edges", 2, npy_int64, "an (m, 2) int64 array of node indices");
  if (view.shape[1] != 2) {
    throw_error(PyExc_ValueError, std::string(entry) + "(): edges must have 2 columns, not " +
                                      std::to_string(view.shape[1]));
  }
  std::vector<EdgePair> pairs(static_cast<std::size_t>(view.shape[0]));
  for (npy_intp r = 0; r < view.shape[0]; ++r) {
    for (npy_intp c = 0; c < 2; ++c) {
      const auto index =
          read_element<std::int64_t>(view.data, r * view.strides[0] + c * view.strides[1]);
      if (!is_node(index, n_nodes)) {
        throw_not_a_node(entry, "edges[" + std::to_string(r) + ", " + std::to_string(c) + "]",
                         index, n_nodes);
      }
      pairs[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] =
          static_cast<std::uint32_t>(index);
    }
  }
  return pairs;
}

std::vector<std::uint32_t> copy_indices(PyObject* value, std::uint32_t n_nodes, const char* entry,
                                        const char* name) {
  const ArrayView view =
      checked_view(value, entry, name, 1, npy_int64, "a 1-D int64 array, one per node");
  if (view.shape[0] != static_cast<npy_intp>(n_nodes)) {
    throw_length(entry, name, view.shape[0], n_nodes, "node");
  }
  std::vector<std::uint32_t> indices(n_nodes);
  for (npy_intp i = 0; i < view.shape[0]; ++i) {
    const auto index = read_element<std::int64_t>(view.data, i * view.strides[0]);
    if (!is_node(index, n_nodes)) {
      throw_not_a_node(entry, std::string(name) + "[" + std::to_string(i) + "]", index, n_nodes);
    }
    indices[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(index);
  }
  return indices;
}

// Weights must be >= 0 and masses > 0, both finite: an infinite one makes
// every sum it enters infinite, and NaN is neither.
enum class Sign { non_negative, positive };

std::vector<double> copy_values(PyObject* value, std::size_t length, const char* entry,
                                const char* name, const char* per, Sign sign) {
  const ArrayView view = checked_view(value, entry, name, 1, npy_float64, "a 1-D float64 array");
  if (view.shape[0] != static_cast<npy_intp>(length)) {
    throw_length(entry, name, view.shape[0], length, per);
  }
  std::vector<double> values(length);
  for (npy_intp i = 0; i < view.shape[0]; ++i) {
    const auto x = read_element<double>(view.data, i * view.strides[0]);
    const bool right_sign = sign == Sign::positive ? x > 0.0 : x >= 0.0;
    if (!right_sign || std::isinf(x)) {
      throw_error(PyExc_ValueError, std::string(entry) + "(): " + name + "[" + std::to_string(i) +
                                        "] is " + std::to_string(x) + "; it must be " +
                                        (!right_sign ? (sign == Sign::positive ? "> 0" : ">= 0")
                                                     : "finite"));
    }
    values[static_cast<std::size_t>(i)] = x;
  }
  return values;
}

std::uint64_t to_seed(PyObject* value) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    throw_argument_error("seed");
  }
  const unsigned long long seed = PyLong_AsUnsignedLongLong(index.get());
  if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw_argument_error("seed");
  }
  return seed;
}

// A new bytearray of `count` elements of type T, and where they go.
template <class T>
PyRef new_bytes(std::size_t count, T*& data) {
  PyRef result = PyRef::steal(
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))));
  if (!result) {
    throw_pending_error();
  }
  data = reinterpret_cast<T*>(PyByteArray_AsString(result.get()));
  return result;
}

// (count, parent, edges, weights[, mass]) of a merged graph whose rows are
// sorted. The bytearrays are new and not yet shared, so they are filled
// unlocked.
PyRef level_result(const std::vector<std::uint32_t>& parent, const WeightedRows& rows,
                   const std::vector<double>* mass) {
  const std::size_t edge_count = rows.neighbours.size() / 2;
  std::int64_t* pair = nullptr;
  PyRef pairs = new_bytes(2 * edge_count, pair);
  double* weight = nullptr;
  PyRef summed = new_bytes(edge_count, weight);
  std::int64_t* parent_data = nullptr;
  PyRef parents = new_bytes(parent.size(), parent_data);
  double* mass_data = nullptr;
  PyRef masses = mass != nullptr ? new_bytes(mass->size(), mass_data) : PyRef();
  {
    const ReleasedLock unlocked;
    write_upper_edges(rows, std::span<std::int64_t>(pair, 2 * edge_count),
                      std::span<double>(weight, edge_count));
    std::copy(parent.begin(), parent.end(), parent_data);
    if (mass != nullptr) {
      std::copy(mass->begin(), mass->end(), mass_data);
    }
  }
  const auto count = static_cast<unsigned long>(rows.node_count());
  PyRef result = PyRef::steal(
      mass != nullptr ? Py_BuildValue("(kOOOO)", count, parents.get(), pairs.get(),
                                      summed.get(), masses.get())
                      : Py_BuildValue("(kOOO)", count, parents.get(), pairs.get(), summed.get()));
  if (!result) {
    throw_pending_error();
  }
  return result;
}

}  // namespace

PyObject* hierarchy_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 6> names = {"n_nodes", "edges",          "weights",
                                                       "mass",    "coarsest_nodes", "seed"};
  const char* const entry = "hierarchy";
  BoundArguments bound = bind_arguments(Signature{entry, names, names.size()}, args, kwargs);
  const std::uint32_t n_nodes = to_node_count(bound[0].get(), entry);
  const std::vector<EdgePair> edges = copy_edges(bound[1].get(), n_nodes, entry);
  const std::vector<double> weights =
      copy_values(bound[2].get(), edges.size(), entry, "weights", "edge", Sign::non_negative);
  const std::vector<double> mass =
      copy_values(bound[3].get(), n_nodes, entry, "mass", "node", Sign::positive);
  HierarchyOptions options;
  options.coarsest_nodes = to_node_count(bound[4].get(), entry, "coarsest_nodes");
  const std::uint64_t seed = to_seed(bound[5].get());
  std::vector<CoarseLevel> levels;
  {
    const ReleasedLock unlocked;
    levels = build_hierarchy(rows_from_edges(n_nodes, edges, weights), mass, options, seed);
  }
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) {
    throw_pending_error();
  }
  for (const CoarseLevel& level : levels) {
    PyRef entry_tuple = level_result(level.parent, level.rows, &level.mass);
    if (PyList_Append(result.get(), entry_tuple.get()) < 0) {
      throw_pending_error();
    }
  }
  return result.release();
}

PyObject* merge_groups_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 4> names = {"n_nodes", "edges", "weights", "group"};
  const char* const entry = "merge_groups";
  BoundArguments bound = bind_arguments(Signature{entry, names, names.size()}, args, kwargs);
  const std::uint32_t n_nodes = to_node_count(bound[0].get(), entry);
  const std::vector<EdgePair> edges = copy_edges(bound[1].get(), n_nodes, entry);
  const std::vector<double> weights =
      copy_values(bound[2].get(), edges.size(), entry, "weights", "edge", Sign::non_negative);
  const std::vector<std::uint32_t> group = copy_indices(bound[3].get(), n_nodes, entry, "group");
  std::optional<MergedGroups> merged;
  {
    const ReleasedLock unlocked;
    merged = merge_groups(rows_from_edges(n_nodes, edges, weights), group, RowOrder::sorted);
  }
  return level_result(merged->parent, merged->rows, nullptr).release();
}

}  // namespace tallow::bindings
