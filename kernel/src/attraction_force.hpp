// The force of one edge, shared by the sequential attraction phase and the
// per-node attraction on the worker pool, so that both compute every edge
// with exactly the same operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "checked.hpp"
#include "matrices.hpp"
#include "settings.hpp"

namespace tallow {

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

  AttractionModes(const LayoutSettings& settings, double compensation)
      : lin_log(settings.linLogMode),
        distributed(settings.outboundAttractionDistribution),
        sized(settings.adjustSizes),
        exponent(settings.edgeWeightInfluence),
        minus_compensation(-compensation) {}
};

// What an edge adds to its source's force; its target gets the opposite.
// `acts` is false where the edge writes nothing at all (not even a zero).
struct EdgeForce {
  bool acts;
  double x;
  double y;
};

// An edge's ends as attraction reads them, straight from the node matrix:
// every read tested on its own, so an end outside the matrix is reported at
// the first slot that touches it.
struct MatrixEnds {
  std::span<const float> nodes;
  double x(std::uint32_t node) const { return at(nodes, offset(node) + slot::x); }
  double y(std::uint32_t node) const { return at(nodes, offset(node) + slot::y); }
  double size(std::uint32_t node) const { return at(nodes, offset(node) + slot::size); }
  double mass(std::uint32_t node) const { return at(nodes, offset(node) + slot::mass); }
  // In size_t: every u32 node index times 10 is exact.
  static std::size_t offset(std::uint32_t node) { return std::size_t{node} * node_stride; }
};

// Reads happen in the order x of s, x of t, y of s, y of t (then sizes, then
// the source's mass). Reads only positions, sizes and masses, which no phase
// writes while attraction runs.
template <WeightPower power, class Ends>
EdgeForce edge_force(const AttractionModes& modes, const Ends& ends, const EdgeRecord& edge) {
  const std::uint32_t s = edge.source;
  const std::uint32_t t = edge.target;
  const double w = powered<power>(static_cast<double>(edge.weight), modes.exponent);
  const double source_x = ends.x(s);
  const double target_x = ends.x(t);
  const double source_y = ends.y(s);
  const double target_y = ends.y(t);
  const double d_x = source_x - target_x;
  const double d_y = source_y - target_y;

  // Without sizes or linLog no distance is needed and the edge always acts,
  // coincident ends included; otherwise it acts only when d > 0 (not NaN).
  double d = 0.0;
  if (modes.sized) {
    const double source_size = ends.size(s);
    const double target_size = ends.size(t);
    d = std::sqrt(d_x * d_x + d_y * d_y) - source_size - target_size;
    if (!(d > 0.0)) return {false, 0.0, 0.0};
  } else if (modes.lin_log) {
    d = std::sqrt(d_x * d_x + d_y * d_y);
    if (!(d > 0.0)) return {false, 0.0, 0.0};
  }

  double f = 0.0;
  if (modes.distributed) {
    // Divided by the source's mass alone: reversing an edge changes its force.
    const double m = ends.mass(s);
    f = modes.lin_log ? (((w * modes.minus_compensation) * std::log(d + 1.0)) / d) / m
                      : (w * modes.minus_compensation) / m;
  } else {
    f = modes.lin_log ? -(w * std::log(d + 1.0)) / d : -w;
  }
  return {true, d_x * f, d_y * f};
}

// Source and target ends of one edge's force, stored one component at a time.
inline void pull_source(float& dx, float& dy, const EdgeForce& force) {
  dx = static_cast<float>(force.x + static_cast<double>(dx));
  dy = static_cast<float>(force.y + static_cast<double>(dy));
}
inline void pull_target(float& dx, float& dy, const EdgeForce& force) {
  dx = static_cast<float>(static_cast<double>(dx) - force.x);
  dy = static_cast<float>(static_cast<double>(dy) - force.y);
}
inline void pull_source(float* node, const EdgeForce& force) {
  pull_source(node[slot::dx], node[slot::dy], force);
}
inline void pull_target(float* node, const EdgeForce& force) {
  pull_target(node[slot::dx], node[slot::dy], force);
}

// Calls body.template operator()<power>() with the power chosen once for the
// phase's exponent.
template <class Body>
void with_weight_power(double exponent, Body&& body) {
  if (exponent == 1.0) {
    body.template operator()<WeightPower::one>();
  } else if (exponent == 2.0) {
    body.template operator()<WeightPower::square>();
  } else if (exponent == 0.0) {
    body.template operator()<WeightPower::zero>();
  } else {
    body.template operator()<WeightPower::general>();
  }
}

}  // namespace tallow
