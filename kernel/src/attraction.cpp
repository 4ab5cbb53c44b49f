// Attraction: the two ends of every edge pull toward each other.
//
// Edges in input order; each edge reads both ends' positions, computes in f64
// and stores four f32 forces, source first, so a node met by several edges
// sums them in edge order with a rounding after each. The operations follow
// the bracket order of each formula exactly: reordering changes bits.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "attraction_force.hpp"
#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {
namespace {

// An edge's ends read from the packed first slots (x, y, dx, dy) of every
// node, the sizes and masses from the node matrix. An end past the node
// matrix is read from the matrix instead, so that it is reported just as the
// plain phase reports it.
struct PackedEnds {
  std::span<const float> packed;
  std::span<const float> nodes;
  double x(std::uint32_t node) const { return read(node, slot::x); }
  double y(std::uint32_t node) const { return read(node, slot::y); }
  double read(std::uint32_t node, std::size_t k) const {
    const std::size_t packed_at = offset(node) + k;
    return packed_at < packed.size() ? packed[packed_at]
                                     : at(nodes, MatrixEnds::offset(node) + k);
  }
  double size(std::uint32_t node) const {
    return at(nodes, MatrixEnds::offset(node) + slot::size);
  }
  double mass(std::uint32_t node) const {
    return at(nodes, MatrixEnds::offset(node) + slot::mass);
  }
  static std::size_t offset(std::uint32_t node) { return std::size_t{node} * packed_stride; }
};

// Every edge in edge order over records of `stride` floats whose first
// slots are x, y, dx, dy (the node matrix, or its packed copy), the ends read
// through `ends`. Edges name nodes all over the records: fetch them a few
// edges ahead so that their cache misses overlap with this edge's arithmetic.
template <WeightPower power, std::size_t stride, class Ends>
void attract_edges(const AttractionModes& modes, std::span<float> records, const Ends& ends,
                   std::span<const EdgeRecord> edges) {
  constexpr std::size_t ahead = 16;
  const std::size_t count = edges.size();
  for (std::size_t k = 0; k < count; ++k) {
    if (k + ahead < count) {
      const EdgeRecord& later = edges[k + ahead];
      __builtin_prefetch(records.data() + std::size_t{later.source} * stride, 1);
      __builtin_prefetch(records.data() + std::size_t{later.target} * stride, 1);
    }
    const EdgeRecord& edge = edges[k];
    const EdgeForce force = edge_force<power>(modes, ends, edge);
    if (!force.acts) {
      continue;
    }
    // A self-loop names one record twice; every store is a separate
    // read-modify-write, so the target's update sees the source's.
    const std::size_t s = std::size_t{edge.source} * stride;
    const std::size_t t = std::size_t{edge.target} * stride;
    require_index(records.size(), s + slot::dx);
    require_index(records.size(), s + slot::dy);
    pull_source(records.data() + s, force);
    require_index(records.size(), t + slot::dx);
    require_index(records.size(), t + slot::dy);
    pull_target(records.data() + t, force);
  }
}

}  // namespace

void attraction_phase(const LayoutSettings& settings, std::span<float> nodes,
                      std::span<const EdgeRecord> edges, double compensation) {
  const AttractionModes modes(settings, compensation);
  with_weight_power(settings.edgeWeightInfluence, [&]<WeightPower power>() {
    attract_edges<power, node_stride>(modes, nodes, MatrixEnds{nodes}, edges);
  });
}

void pack_attraction_slots(std::vector<float>& packed, std::span<const float> nodes,
                           std::size_t first, std::size_t end) {
  if (first < end) {
    require_index(nodes.size(), end * node_stride - 1);
    require_index(packed.size(), end * packed_stride - 1);
  }
  for (std::size_t i = first; i < end; ++i) {
    for (std::size_t k = 0; k < packed_stride; ++k) {
      packed[i * packed_stride + k] = nodes[i * node_stride + k];
    }
  }
}

void attraction_packed(const LayoutSettings& settings, std::span<const float> nodes,
                       std::span<const EdgeRecord> edges, double compensation,
                       std::span<float> packed) {
  const AttractionModes modes(settings, compensation);
  with_weight_power(settings.edgeWeightInfluence, [&]<WeightPower power>() {
    attract_edges<power, packed_stride>(modes, packed, PackedEnds{packed, nodes}, edges);
  });
}

void unpack_attraction_forces(std::span<float> nodes, std::span<const float> packed,
                              std::size_t first, std::size_t end) {
  if (first < end) {
    require_index(nodes.size(), end * node_stride - 1);
    require_index(packed.size(), end * packed_stride - 1);
  }
  for (std::size_t i = first; i < end; ++i) {
    nodes[i * node_stride + slot::dx] = packed[i * packed_stride + slot::dx];
    nodes[i * node_stride + slot::dy] = packed[i * packed_stride + slot::dy];
  }
}

void attraction_phase(const LayoutSettings& settings, std::span<float> nodes,
                      std::span<const EdgeRecord> edges, double compensation,
                      std::vector<float>& packed) {
  if (nodes.size() % node_stride != 0) {
    // A partial record is reported where the plain phase first touches it.
    attraction_phase(settings, nodes, edges, compensation);
    return;
  }
  const std::size_t count = nodes.size() / node_stride;
  packed.resize(count * packed_stride);
  pack_attraction_slots(packed, nodes, 0, count);
  attraction_packed(settings, nodes, edges, compensation, packed);
  unpack_attraction_forces(nodes, packed, 0, count);
}

}  // namespace tallow
