#include "convergence.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "matrices.hpp"

namespace tallow {

ConvergenceMeter::ConvergenceMeter(std::span<const float> nodes) { remember(nodes); }

void ConvergenceMeter::remember(std::span<const float> nodes) {
  const std::size_t count = nodes.size() / node_stride;
  previous_.resize(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    previous_[2 * i] = nodes[i * node_stride + slot::x];
    previous_[2 * i + 1] = nodes[i * node_stride + slot::y];
  }
}

double ConvergenceMeter::measure_step(std::span<const float> nodes) {
  const std::size_t count = std::min(nodes.size() / node_stride, previous_.size() / 2);
  double moved = 0.0;
  std::size_t moving = 0;
  double min_x = std::numeric_limits<double>::infinity();
  double min_y = min_x;
  double max_x = -min_x;
  double max_y = -min_x;
  for (std::size_t i = 0; i < count; ++i) {
    const float* node = nodes.data() + i * node_stride;
    const double x = node[slot::x];
    const double y = node[slot::y];
    // Plain comparisons: a NaN must reach the sum, not vanish in a min or max.
    min_x = x < min_x ? x : min_x;
    max_x = x > max_x ? x : max_x;
    min_y = y < min_y ? y : min_y;
    max_y = y > max_y ? y : max_y;
    if (node[slot::fixed] == 1.0f) {
      continue;
    }
    const double step_x = x - static_cast<double>(previous_[2 * i]);
    const double step_y = y - static_cast<double>(previous_[2 * i + 1]);
    moved += std::sqrt(step_x * step_x + step_y * step_y);
    ++moving;
  }
  remember(nodes);
  if (moving == 0) {
    return 0.0;  // nothing can move: settled from the start
  }
  const double extent = std::max(max_x - min_x, max_y - min_y);
  // Every node at one point: any movement is large against a zero extent.
  if (!(extent > 0.0)) {
    return moved > 0.0 ? std::numeric_limits<double>::infinity() : moved;
  }
  return moved / static_cast<double>(moving) / extent;
}

}  // namespace tallow
