#include "coarsen_entry.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "communities.hpp"
#include "conversion.hpp"
#include "internal_error.hpp"
#include "matching.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tallow::bindings {

const char* const communities_doc =
    "communities(n_nodes, edges, weights, resolution, seed)\n--\n\n"
    "Louvain community labels of an undirected weighted graph, as int64 bytes, one per node, "
    "numbered 0, 1, ...\n"
    "\n"
    "`edges` is an (m, 2) int64 array of node indices below `n_nodes` (self-loops are ignored), "
    "`weights` an (m,) float64 array of weights >= 0, `resolution` > 0 (above 1 prefers smaller "
    "communities). The same `seed` gives the same labels. Runs without the interpreter lock.";

const char* const coarsen_level_doc =
    "coarsen_level(n_nodes, edges, weights, mass, label, seed, rounds)\n--\n\n"
    "Matches neighbours and merges every matched group into one node; returns (count, parent, "
    "edges, weights) as merge_groups does.\n"
    "\n"
    "Rounds of mutual best-neighbour matching pair nodes on the score w / (mass_u * mass_v) "
    "(`mass` float64, one per node, > 0); later rounds see only nodes left single, and a node "
    "still single joins its first choice if that was matched. With `label` (int64, one per "
    "node, below n_nodes) only nodes of equal label pair; None lets any. `rounds` is 0 to "
    "1000; ties follow `seed`. `edges` and `weights` as for communities. Runs without the "
    "interpreter lock.";

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
constexpr std::uint32_t max_rounds = 1000;

// Releases the interpreter lock for its lifetime, also when the kernel throws.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : saved_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

[[noreturn]] void throw_error(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_pending_error();
}

// Node indices are u32 and one value stays free as the kernel's "no node".
std::uint32_t to_node_count(PyObject* value, const char* entry) {
  const Py_ssize_t n = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) {
    throw_argument_error("n_nodes");
  }
  if (n < 0 || n >= static_cast<Py_ssize_t>(UINT32_MAX)) {
    throw_error(PyExc_ValueError, std::string(entry) +
                                      "(): n_nodes must be between 0 and 4294967294, not " +
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

// Weights must be >= 0 and masses > 0; NaN is neither.
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
    if (sign == Sign::positive ? !(x > 0.0) : !(x >= 0.0)) {
      throw_error(PyExc_ValueError, std::string(entry) + "(): " + name + "[" + std::to_string(i) +
                                        "] is " + std::to_string(x) + "; it must be " +
                                        (sign == Sign::positive ? "> 0" : ">= 0"));
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

// A bytearray holding the values' bytes.
template <class T>
PyRef bytes_of(const std::vector<T>& values) {
  PyRef result = PyRef::steal(PyByteArray_FromStringAndSize(
      reinterpret_cast<const char*>(values.data()),
      static_cast<Py_ssize_t>(values.size() * sizeof(T))));
  if (!result) {
    throw_pending_error();
  }
  return result;
}

std::vector<std::int64_t> widened(const std::vector<std::uint32_t>& values) {
  return std::vector<std::int64_t>(values.begin(), values.end());
}

// (count, parent, edges, weights) of merged groups whose rows are sorted.
PyRef merged_result(const MergedGroups& merged) {
  const WeightedEdges out = upper_edges(merged.rows);
  std::vector<std::int64_t> flat;
  flat.reserve(2 * out.pairs.size());
  for (const EdgePair& pair : out.pairs) {
    flat.push_back(pair[0]);
    flat.push_back(pair[1]);
  }
  PyRef parent = bytes_of(widened(merged.parent));
  PyRef pairs = bytes_of(flat);
  PyRef summed = bytes_of(out.weights);
  PyRef result = PyRef::steal(Py_BuildValue("(kOOO)",
                                            static_cast<unsigned long>(merged.rows.node_count()),
                                            parent.get(), pairs.get(), summed.get()));
  if (!result) {
    throw_pending_error();
  }
  return result;
}

}  // namespace

PyObject* communities_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 5> names = {"n_nodes", "edges", "weights",
                                                       "resolution", "seed"};
  const char* const entry = "communities";
  BoundArguments bound = bind_arguments(Signature{entry, names, names.size()}, args, kwargs);
  const std::uint32_t n_nodes = to_node_count(bound[0].get(), entry);
  const std::vector<EdgePair> edges = copy_edges(bound[1].get(), n_nodes, entry);
  const std::vector<double> weights =
      copy_values(bound[2].get(), edges.size(), entry, "weights", "edge", Sign::non_negative);
  CommunityOptions options;
  options.resolution = PyFloat_AsDouble(bound[3].get());
  if (options.resolution == -1.0 && PyErr_Occurred()) {
    throw_argument_error("resolution");
  }
  if (!(options.resolution > 0.0) || options.resolution > 1e300) {
    throw_error(PyExc_ValueError, "communities(): resolution must be finite and > 0, not " +
                                      std::to_string(options.resolution));
  }
  const std::uint64_t seed = to_seed(bound[4].get());
  std::vector<std::uint32_t> labels;
  {
    const ReleasedLock unlocked;
    labels = louvain_communities(rows_from_edges(n_nodes, edges, weights), options, seed);
  }
  return bytes_of(widened(labels)).release();
}

PyObject* coarsen_level_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 7> names = {"n_nodes", "edges", "weights", "mass",
                                                       "label",   "seed",  "rounds"};
  const char* const entry = "coarsen_level";
  BoundArguments bound = bind_arguments(Signature{entry, names, names.size()}, args, kwargs);
  const std::uint32_t n_nodes = to_node_count(bound[0].get(), entry);
  const std::vector<EdgePair> edges = copy_edges(bound[1].get(), n_nodes, entry);
  const std::vector<double> weights =
      copy_values(bound[2].get(), edges.size(), entry, "weights", "edge", Sign::non_negative);
  const std::vector<double> mass =
      copy_values(bound[3].get(), n_nodes, entry, "mass", "node", Sign::positive);
  std::vector<std::uint32_t> label;
  if (bound[4].get() != Py_None) {
    label = copy_indices(bound[4].get(), n_nodes, entry, "label");
  }
  const std::uint64_t seed = to_seed(bound[5].get());
  const long rounds = PyLong_AsLong(bound[6].get());
  if (rounds == -1 && PyErr_Occurred()) {
    throw_argument_error("rounds");
  }
  if (rounds < 0 || rounds > long{max_rounds}) {
    throw_error(PyExc_ValueError, "coarsen_level(): rounds must be between 0 and 1000, not " +
                                      std::to_string(rounds));
  }
  std::optional<MergedGroups> merged;
  {
    const ReleasedLock unlocked;
    const WeightedRows rows = rows_from_edges(n_nodes, edges, weights);
    const std::vector<std::uint32_t> group =
        matched_groups(rows, mass, label, seed, static_cast<std::uint32_t>(rounds));
    merged = merge_groups(rows, group, RowOrder::sorted);
  }
  return merged_result(*merged).release();
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
  return merged_result(*merged).release();
}

}  // namespace tallow::bindings
