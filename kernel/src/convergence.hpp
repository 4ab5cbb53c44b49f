// How far a layout still moves: the measure behind stopping a run early.
//
// After every step, the mean distance that the nodes which are not pinned
// moved in that step, divided by the larger side of the nodes' bounding box:
// a scale-free number that falls toward 0 as the layout settles. Sums run in
// node order in f64, so the measure, and with it the step at which a run
// stops, is the same for every thread count. A NaN position makes the measure
// NaN, which is never below a tolerance: such a run is never called settled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tallow {

class ConvergenceMeter {
 public:
  // Remembers the positions that the first step starts from. Cost: O(n).
  explicit ConvergenceMeter(std::span<const float> nodes);

  // The measure of the step that led from the remembered positions to
  // `nodes`, which are remembered in turn. Cost: one pass over the nodes.
  double measure_step(std::span<const float> nodes);

 private:
  void remember(std::span<const float> nodes);
  std::vector<float> previous_;  // x, y per node
};

// Stops a run once the measure has stayed below `tolerance` for
// `settled_steps` steps in a row, so that one quiet step amid larger moves
// does not end it.
class SettledRule {
 public:
  static constexpr std::uint32_t settled_steps = 5;
  explicit SettledRule(double tolerance) : tolerance_(tolerance) {}
  bool settled(double measure) {
    quiet_ = measure < tolerance_ ? quiet_ + 1 : 0;
    return quiet_ >= settled_steps;
  }

 private:
  double tolerance_;
  std::uint32_t quiet_ = 0;
};

}  // namespace tallow
