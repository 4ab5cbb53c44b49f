#include "matrices.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "checked.hpp"
#include "fatal.hpp"
#include "huge_pages.hpp"

namespace tallow {
namespace {

// The largest element count whose byte size stays below 2^63 - 4.
constexpr std::uint64_t max_elements(std::uint64_t element_bytes) {
  return (std::uint64_t{INT64_MAX} - 4) / element_bytes;
}

NodeMatrix allocate_nodes(std::uint64_t n_nodes) {
  if (n_nodes > max_elements(sizeof(float) * node_stride)) {
    fatal("capacity overflow: a node matrix of " + std::to_string(n_nodes) +
          " nodes cannot be addressed");
  }
  NodeMatrix nodes;
  reserve_in_huge_pages(nodes, static_cast<std::size_t>(n_nodes) * node_stride);
  nodes.resize(static_cast<std::size_t>(n_nodes) * node_stride, 0.0f);
  return nodes;
}

void place_nodes(NodeMatrix& nodes, std::span<const Point> init) {
  const std::size_t placed = std::min(nodes.size() / node_stride, init.size());
  for (std::size_t i = 0; i < placed; ++i) {
    float* node = nodes.data() + i * node_stride;
    node[slot::x] = static_cast<float>(init[i][0]);
    node[slot::y] = static_cast<float>(init[i][1]);
    node[slot::mass] = 1.0f;
    node[slot::convergence] = 1.0f;
    node[slot::size] = 1.0f;
  }
}

// Adds one edge end's weight to its node's mass, after the bounds test of its
// offset: an f64 sum rounded to f32, which for a weight of 1 is the f32
// addition of 1 that edges without weights add.
void add_edge_end(NodeMatrix& nodes, std::uint32_t index, double weight) {
  const std::size_t offset = std::size_t{index} * node_stride;
  float& mass = at(nodes, offset + slot::mass);
  mass = static_cast<float>(static_cast<double>(mass) + weight);
}

// Without weights every end adds 1.0f to a mass that starts at 0 or 1, and an
// f32 sum of ones is exact up to 2^24 and stays there: the masses do not
// depend on the order of the ends. So the ends are counted in a compact array
// (not all over the 40-byte records, a third of a million-node call's set-up)
// and each mass is set once. Ends are checked in edge order, as added, in the
// same pass that writes the edge records.
void add_unweighted_edges(Matrices& m, std::span<const EdgePair> edges) {
  constexpr std::uint32_t saturated = std::uint32_t{1} << 24;
  const std::size_t count = m.nodes.size() / node_stride;
  std::vector<std::uint32_t> ends(count, 0);
  const auto count_end = [&](std::uint32_t index) {
    if (index >= count) {
      (void)at(m.nodes, std::size_t{index} * node_stride + slot::mass);  // the index error
    }
    std::uint32_t& c = ends[index];
    c += c < saturated ? 1 : 0;
  };
  for (const auto& [source, target] : edges) {
    count_end(source);
    count_end(target);
    m.edges.push_back(EdgeRecord{source, target, 1.0f});
  }
  for (std::size_t i = 0; i < count; ++i) {
    float& mass = m.nodes[i * node_stride + slot::mass];
    // Mass 0 or 1 plus at most 2^24 ends: 2^24 + 1 rounds to 2^24, where
    // added ones stop.
    mass = static_cast<float>(static_cast<std::uint32_t>(mass) + ends[i]);
  }
}

}  // namespace

Matrices graph_to_matrices(std::uint64_t n_nodes, std::span<const EdgePair> edges,
                           std::optional<std::span<const double>> weights,
                           std::span<const Point> init) {
  Matrices m{allocate_nodes(n_nodes), {}};
  if (edges.size() > max_elements(sizeof(EdgeRecord))) {
    fatal("capacity overflow: an edge matrix of " + std::to_string(edges.size()) +
          " edges cannot be addressed");
  }
  reserve_in_huge_pages(m.edges, edges.size());  // written once, below, not zeroed first
  place_nodes(m.nodes, init);
  if (!weights) {
    add_unweighted_edges(m, edges);
    return m;
  }
  for (std::size_t k = 0; k < edges.size(); ++k) {
    const double weight = at(*weights, k);
    const auto [source, target] = edges[k];
    add_edge_end(m.nodes, source, weight);
    add_edge_end(m.nodes, target, weight);
    m.edges.push_back(EdgeRecord{source, target, static_cast<float>(weight)});
  }
  return m;
}

namespace {

template <class Value, class ToSlot>
void set_slot(NodeMatrix& nodes, std::span<const Value> values, std::size_t node_slot,
              ToSlot to_slot) {
  const std::size_t count = nodes.size() / node_stride;
  if (values.empty()) {
    return;
  }
  if (values.size() != count) {
    const std::size_t first_missing = std::min(values.size(), count);
    index_out_of_bounds(/*len=*/first_missing, /*index=*/first_missing);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if constexpr (std::is_floating_point_v<Value>) {
      if (std::isnan(values[i])) {
        continue;  // NaN: the node keeps the value graph_to_matrices gave it
      }
    }
    nodes[i * node_stride + node_slot] = to_slot(values[i]);
  }
}

}  // namespace

void set_node_attributes(NodeMatrix& nodes, const NodeAttributes& attributes) {
  const auto to_f32 = [](double value) { return static_cast<float>(value); };
  set_slot(nodes, attributes.mass, slot::mass, to_f32);
  set_slot(nodes, attributes.size, slot::size, to_f32);
  set_slot(nodes, attributes.fixed, slot::fixed,
           [](std::uint8_t pinned) { return pinned != 0 ? 1.0f : 0.0f; });
}

NonFinitePositions non_finite_positions(std::span<const float> nodes, std::size_t keep) {
  NonFinitePositions found;
  for (std::size_t i = 0; i < nodes.size() / node_stride; ++i) {
    const float* node = nodes.data() + i * node_stride;
    if (std::isfinite(node[slot::x]) && std::isfinite(node[slot::y])) {
      continue;
    }
    if (found.count < keep) {
      found.first.push_back(i);
    }
    ++found.count;
  }
  return found;
}

}  // namespace tallow
