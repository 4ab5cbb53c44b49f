// Attraction: the two ends of every edge pull toward each other.
//
// Edges in input order; each edge reads both ends' positions, computes in f64
// and stores four f32 forces, source first, so a node met by several edges
// sums them in edge order with a rounding after each. The operations follow
// the bracket order of each formula exactly: reordering changes bits.

#include <cmath>
#include <cstddef>

#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {
namespace {

// pow(weight, edgeWeightInfluence) for every edge. The exponents 0, 1 and 2
// are chosen once per phase: 1, the weight itself and the plain product equal
// std::pow for every weight (NaN included) and skip most of its cost.
enum class WeightPower { zero, one, square, general };

template <WeightPower power>
double powered(double weight, double exponent) {
  if constexpr (power == WeightPower::zero) {
    return 1.0;
  } else if constexpr (power == WeightPower::one) {
    return weight;
  } else if constexpr (power == WeightPower::square) {
    return weight * weight;
  } else {
    return std::pow(weight, exponent);
  }
}

struct AttractionModes {
  bool lin_log;
  bool distributed;  // outboundAttractionDistribution
  bool sized;        // adjustSizes
  double exponent;
  double minus_compensation;  // -c, exact, formed once
};

// One edge. Reads happen in the order x of s, x of t, y of s, y of t (then
// sizes, then the source's mass), so an end outside the node matrix is
// reported at the first slot that touches it.
template <WeightPower power>
void attract_edge(const AttractionModes& modes, std::span<float> nodes, const EdgeRecord& edge) {
  // Offsets in size_t: every u32 node index times 10 is exact.
  const std::size_t s = std::size_t{edge.source} * node_stride;
  const std::size_t t = std::size_t{edge.target} * node_stride;
  const double w = powered<power>(static_cast<double>(edge.weight), modes.exponent);
  const double source_x = at(nodes, s + slot::x);
  const double target_x = at(nodes, t + slot::x);
  const double source_y = at(nodes, s + slot::y);
  const double target_y = at(nodes, t + slot::y);
  const double d_x = source_x - target_x;
  const double d_y = source_y - target_y;

  // Without sizes or linLog no distance is needed and the edge always acts,
  // coincident ends included; otherwise it acts only when d > 0 (not NaN).
  double d = 0.0;
  if (modes.sized) {
    const double source_size = at(nodes, s + slot::size);
    const double target_size = at(nodes, t + slot::size);
    d = std::sqrt(d_x * d_x + d_y * d_y) - source_size - target_size;
    if (!(d > 0.0)) return;
  } else if (modes.lin_log) {
    d = std::sqrt(d_x * d_x + d_y * d_y);
    if (!(d > 0.0)) return;
  }

  double f = 0.0;
  if (modes.distributed) {
    // Divided by the source's mass alone: reversing an edge changes its force.
    const double m = at(nodes, s + slot::mass);
    f = modes.lin_log ? (((w * modes.minus_compensation) * std::log(d + 1.0)) / d) / m
                      : (w * modes.minus_compensation) / m;
  } else {
    f = modes.lin_log ? -(w * std::log(d + 1.0)) / d : -w;
  }

  const double force_x = d_x * f;
  const double force_y = d_y * f;
  // A self-loop names one record twice; every store is a separate
  // read-modify-write, so the target's update sees the source's.
  float& source_dx = at(nodes, s + slot::dx);
  source_dx = static_cast<float>(force_x + static_cast<double>(source_dx));
  float& source_dy = at(nodes, s + slot::dy);
  source_dy = static_cast<float>(force_y + static_cast<double>(source_dy));
  float& target_dx = at(nodes, t + slot::dx);
  target_dx = static_cast<float>(static_cast<double>(target_dx) - force_x);
  float& target_dy = at(nodes, t + slot::dy);
  target_dy = static_cast<float>(static_cast<double>(target_dy) - force_y);
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
  const AttractionModes modes{settings.linLogMode, settings.outboundAttractionDistribution,
                              settings.adjustSizes, settings.edgeWeightInfluence,
                              -compensation};
  const double exponent = settings.edgeWeightInfluence;
  if (exponent == 1.0) {
    attract_edges<WeightPower::one>(modes, nodes, edges);
  } else if (exponent == 2.0) {
    attract_edges<WeightPower::square>(modes, nodes, edges);
  } else if (exponent == 0.0) {
    attract_edges<WeightPower::zero>(modes, nodes, edges);
  } else {
    attract_edges<WeightPower::general>(modes, nodes, edges);
  }
}

}  // namespace tallow
