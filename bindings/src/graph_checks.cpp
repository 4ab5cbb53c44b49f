#include "graph_checks.hpp"

#include <cmath>
#include <string>

#include "internal_error.hpp"

namespace tallow::bindings {
namespace {

[[noreturn]] void throw_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw_pending_error();
}

template <class Element>
void check_two_columns(const RowPairs<Element>& rows, const char* name, const char* columns) {
  if (const auto width = rows.narrow_width()) {
    throw_value_error(std::string("argument '") + name + "': expected 2 columns (" + columns +
                      "), got " + std::to_string(*width));
  }
}

void check_edge_ends(const RowPairs<std::uint32_t>& edges, std::uint64_t n_nodes) {
  const auto& pairs = edges.pairs();
  for (std::size_t r = 0; r < pairs.size(); ++r) {
    for (std::size_t c = 0; c < 2; ++c) {
      if (pairs[r][c] >= n_nodes) {
        throw_value_error("argument 'edges': edges[" + std::to_string(r) + ", " +
                          std::to_string(c) + "] is " + std::to_string(pairs[r][c]) +
                          ", not a node index below n_nodes (" + std::to_string(n_nodes) + ")");
      }
    }
  }
}

// The node matrix stores x and y as float32: what rounds to inf there, or is
// NaN already, is refused. Rows past n_nodes place no node and are not read.
void check_start_positions(const RowPairs<double>& init, std::uint64_t n_nodes) {
  const auto& pairs = init.pairs();
  for (std::size_t i = 0; i < pairs.size() && i < n_nodes; ++i) {
    if (std::isfinite(static_cast<float>(pairs[i][0])) &&
        std::isfinite(static_cast<float>(pairs[i][1]))) {
      continue;
    }
    PyRef x = PyRef::steal(PyFloat_FromDouble(pairs[i][0]));
    PyRef y = PyRef::steal(PyFloat_FromDouble(pairs[i][1]));
    if (x && y) {
      PyErr_Format(PyExc_ValueError,
                   "argument 'init': node %zu starts at (%R, %R), which is not finite in "
                   "float32, the layout's storage (largest 3.4e38)",
                   i, x.get(), y.get());
    }
    throw_pending_error();
  }
}

}  // namespace

void check_graph_arguments(const LayoutArguments& arguments) {
  check_two_columns(arguments.edges, "edges", "source, target");
  check_edge_ends(arguments.edges, arguments.n_nodes);
  const std::size_t edge_count = arguments.edges.pairs().size();
  if (arguments.weights && arguments.weights->size() != edge_count) {
    throw_value_error("argument 'weights': expected one value per edge (" +
                      std::to_string(edge_count) + "), got " +
                      std::to_string(arguments.weights->size()));
  }
  check_two_columns(arguments.init, "init", "x, y");
  check_start_positions(arguments.init, arguments.n_nodes);
}

}  // namespace tallow::bindings
