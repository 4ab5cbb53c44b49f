// Node and edge matrices: the whole graph as two flat arrays.
//
// Node matrix: f32, `node_stride` (10) slots per node, node i at offset 10*i,
// slots named in `slot`. Edge matrix: one record per edge in input order. The
// endpoints are kept as u32 node indices rather than f32 offsets, so that every
// node index is addressed exactly; inside the range where 10*index is exact in
// f32 (indices up to 3,355,444) this gives the same offsets as an f32 store.
// All arithmetic on values is f64, rounded to f32 (to nearest) when stored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tallow {

inline constexpr std::size_t node_stride = 10;

namespace slot {
inline constexpr std::size_t x = 0;
inline constexpr std::size_t y = 1;
inline constexpr std::size_t dx = 2;
inline constexpr std::size_t dy = 3;
inline constexpr std::size_t old_dx = 4;
inline constexpr std::size_t old_dy = 5;
inline constexpr std::size_t mass = 6;
inline constexpr std::size_t convergence = 7;
inline constexpr std::size_t size = 8;
inline constexpr std::size_t fixed = 9;
}  // namespace slot

using NodeMatrix = std::vector<float>;

struct EdgeRecord {
  std::uint32_t source;  // node index; its node-matrix offset is source * node_stride
  std::uint32_t target;
  float weight;
};
using EdgeMatrix = std::vector<EdgeRecord>;

using EdgePair = std::array<std::uint32_t, 2>;  // (source, target) node indices
using Point = std::array<double, 2>;            // (x, y)

struct Matrices {
  NodeMatrix nodes;
  EdgeMatrix edges;
};

// Builds both matrices from the call's copies of its arguments.
//
// Nodes below both n_nodes and init.size() start at their init position with
// mass, convergence and size 1; other nodes keep all ten slots at 0. Each edge
// adds its weight (1 without weights) to both endpoints' masses in edge order,
// rounding to f32 after each addition. Per edge the checks run in the order
// weight, source, target; a missing weight or an endpoint not below n_nodes is
// the fatal index error. An n_nodes whose matrix cannot be addressed is the
// fatal capacity-overflow error. Cost: O(n_nodes + edges), one allocation each.
Matrices graph_to_matrices(std::uint64_t n_nodes, std::span<const EdgePair> edges,
                           std::optional<std::span<const double>> weights,
                           std::span<const Point> init);

// Per-node values that replace what graph_to_matrices gives every node: a
// mass in place of 1 plus the sum of its edge weights, a size in place of 1,
// and whether the node is pinned (its position never changes). Each span is
// empty (keep the default) or holds one value per node; values are rounded to
// f32 as stored. A pinned node still repels, attracts and counts in the region
// tree; only force application leaves it in place. A NaN mass or size keeps
// the node's value from graph_to_matrices.
struct NodeAttributes {
  std::span<const double> mass;
  std::span<const double> size;
  std::span<const std::uint8_t> fixed;  // non-zero: pinned
};
// A span that is neither empty nor one value per node is the fatal index error.
void set_node_attributes(NodeMatrix& nodes, const NodeAttributes& attributes);

// The nodes whose x or y is not finite: how many, and the first `keep` of
// them in index order. Cost: one pass over the positions.
struct NonFinitePositions {
  std::size_t count = 0;
  std::vector<std::size_t> first;
};
NonFinitePositions non_finite_positions(std::span<const float> nodes, std::size_t keep);

}  // namespace tallow
