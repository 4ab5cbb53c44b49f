// Gravity: every node is pulled toward the origin, in index order, f64
// arithmetic, one f32 store per force component.

#include <cstddef>

#include "checked.hpp"
#include "gravity_force.hpp"
#include "iterate.hpp"

namespace tallow {

void gravity_phase(const LayoutSettings& settings, std::span<float> nodes) {
  const GravityTerms terms(settings);
  // Each access is tested on its own: this pass is cheap next to repulsion, and
  // a partial last record then fails at exactly the first slot it lacks.
  for (std::size_t base = 0; base < nodes.size(); base += node_stride) {
    pull_to_centre(terms, [&](std::size_t k) -> float& { return at(nodes, base + k); });
  }
}

}  // namespace tallow
