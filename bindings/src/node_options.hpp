// The keyword-only arguments of layout_nodes: per-node arrays and run controls.
//
// Each per-node array must hold one value per node and is copied as soon as it
// passes its checks, like the other arrays. A wrong type or dimension is the
// TypeError of every array argument; a wrong length or value is a ValueError
// that names the argument and the first offending node.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "arguments.hpp"

namespace tallow::bindings {

struct NodeOptions {
  std::optional<std::vector<double>> mass;         // > 0 as float32; NaN: the default
  std::optional<std::vector<double>> size;         // >= 0; NaN: the default
  std::optional<std::vector<std::uint8_t>> fixed;  // bool
  bool check_finite = false;  // stop with FloatingPointError once a position is not finite
  double tol = 0.0;           // stop once the layout moves less than this (0: never)
};

// The names of the keyword-only parameters, in order, after the eight shared ones.
extern const std::span<const char* const> node_option_names;

// Converts bound[first] onward for a graph of `n_nodes` nodes.
NodeOptions convert_node_options(BoundArguments& bound, std::size_t first, std::uint64_t n_nodes);

}  // namespace tallow::bindings
