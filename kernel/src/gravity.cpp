// Gravity: every node is pulled toward the origin.
//
// Nodes in index order, f64 arithmetic, one f32 store per force component.
// The factor is built as q * (scalingRatio * mass) with q = gravity /
// scalingRatio, not as gravity * mass: the two can differ in the last bit, and
// with scalingRatio 0 the former is NaN, which then reaches the forces as such.

#include <cmath>
#include <cstddef>

#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {

void gravity_phase(const LayoutSettings& settings, std::span<float> nodes) {
  const double q = settings.gravity / settings.scalingRatio;
  const double scaling = settings.scalingRatio;
  const bool strong = settings.strongGravityMode;

  // Each access is tested on its own: this pass is cheap next to repulsion, and
  // a partial last record then fails at exactly the first slot it lacks.
  for (std::size_t base = 0; base < nodes.size(); base += node_stride) {
    const double x = at(nodes, base + slot::x);
    const double y = at(nodes, base + slot::y);
    const double r2 = x * x + y * y;
    double f = 0.0;
    // False at the origin and for NaN coordinates; f stays 0, but 0 * NaN
    // still carries a NaN coordinate into the force.
    if (r2 > 0.0) {
      const double pull = q * (scaling * static_cast<double>(at(nodes, base + slot::mass)));
      f = strong ? pull : pull / std::sqrt(r2);
    }
    float& dx = at(nodes, base + slot::dx);
    dx = static_cast<float>(static_cast<double>(dx) - f * x);
    float& dy = at(nodes, base + slot::dy);
    dy = static_cast<float>(static_cast<double>(dy) - f * y);
  }
}

}  // namespace tallow
