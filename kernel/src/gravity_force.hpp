// Gravity on one node, shared by the sequential gravity phase and the
// per-node phases on the worker pool.
//
// The factor is built as q * (scalingRatio * mass) with q = gravity /
// scalingRatio, not as gravity * mass: the two can differ in the last bit, and
// with scalingRatio 0 the former is NaN, which then reaches the forces as such.
#pragma once

#include <cmath>
#include <cstddef>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow {

struct GravityTerms {
  double q;  // gravity / scalingRatio, formed once per phase
  double scaling;
  bool strong;

  explicit GravityTerms(const LayoutSettings& settings)
      : q(settings.gravity / settings.scalingRatio),
        scaling(settings.scalingRatio),
        strong(settings.strongGravityMode) {}
};

// Adds gravity to one node's dx, then dy. `slot_of(k)` gives the node's slot
// k as a float&: a checked access in the sequential phase, a plain one where
// a whole range was checked before. Slots are touched in the order x, y,
// mass (only off the origin), dx, dy.
template <class SlotOf>
void pull_to_centre(const GravityTerms& terms, SlotOf&& slot_of) {
  const double x = slot_of(slot::x);
  const double y = slot_of(slot::y);
  const double r2 = x * x + y * y;
  double f = 0.0;
  // False at the origin and for NaN coordinates; f stays 0, but 0 * NaN
  // still carries a NaN coordinate into the force.
  if (r2 > 0.0) {
    const double pull = terms.q * (terms.scaling * static_cast<double>(slot_of(slot::mass)));
    f = terms.strong ? pull : pull / std::sqrt(r2);
  }
  float& dx = slot_of(slot::dx);
  dx = static_cast<float>(static_cast<double>(dx) - f * x);
  float& dy = slot_of(slot::dy);
  dy = static_cast<float>(static_cast<double>(dy) - f * y);
}

}  // namespace tallow
