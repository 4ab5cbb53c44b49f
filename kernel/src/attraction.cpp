// Attraction: the two ends of every edge pull toward each other.
//
// Edges in input order; each edge reads both ends' positions, computes in f64
// and stores four f32 forces, source first, so a node met by several edges
// sums them in edge order with a rounding after each. The operations follow
// the bracket order of each formula exactly: reordering changes bits.

#include <cstddef>

#include "attraction_force.hpp"
#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {
namespace {

template <WeightPower power>
void attract_edge(const AttractionModes& modes, std::span<float> nodes, const EdgeRecord& edge) {
  const EdgeForce force = edge_force<power>(modes, MatrixEnds{nodes}, edge);
  if (!force.acts) {
    return;
  }
  // A self-loop names one record twice; every store is a separate
  // read-modify-write, so the target's update sees the source's.
  const std::size_t s = std::size_t{edge.source} * node_stride;
  const std::size_t t = std::size_t{edge.target} * node_stride;
  require_index(nodes.size(), s + slot::dx);
  require_index(nodes.size(), s + slot::dy);
  pull_source(nodes.data() + s, force);
  require_index(nodes.size(), t + slot::dx);
  require_index(nodes.size(), t + slot::dy);
  pull_target(nodes.data() + t, force);
}

template <WeightPower power>
void attract_edges(const AttractionModes& modes, std::span<float> nodes,
                   std::span<const EdgeRecord> edges) {
  // Edges name nodes all over the node matrix: fetch the records a few edges
  // ahead so that their cache misses overlap with this edge's arithmetic.
  constexpr std::size_t ahead = 16;
  const std::size_t count = edges.size();
  for (std::size_t k = 0; k < count; ++k) {
    if (k + ahead < count) {
      const EdgeRecord& later = edges[k + ahead];
      __builtin_prefetch(nodes.data() + std::size_t{later.source} * node_stride, 1);
      __builtin_prefetch(nodes.data() + std::size_t{later.target} * node_stride, 1);
    }
    attract_edge<power>(modes, nodes, edges[k]);
  }
}

}  // namespace

void attraction_phase(const LayoutSettings& settings, std::span<float> nodes,
                      std::span<const EdgeRecord> edges, double compensation) {
  const AttractionModes modes(settings, compensation);
  with_weight_power(settings.edgeWeightInfluence, [&]<WeightPower power>() {
    attract_edges<power>(modes, nodes, edges);
  });
}

}  // namespace tallow
