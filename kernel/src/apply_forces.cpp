// Force application: every node that is not fixed moves by its own step.
//
// A node's step grows with its traction |F + O| and shrinks with its swinging
// |O - F| (F this iteration's force, O the previous one), so a node whose force
// keeps its direction moves further. Nothing is summed over the graph: each
// node reads and writes only its own record, in f64 with f32 stores.

#include <cmath>
#include <cstddef>

#include "checked.hpp"
#include "iterate.hpp"
#include "node_phases.hpp"

namespace tallow {
namespace {

// |v| with the two squares added x first.
double length(double x, double y) { return std::sqrt(x * x + y * y); }

// Without adjustSizes the step is scaled by the node's convergence, which is
// replaced by a new value in [0, 1] for the next iteration; this iteration
// still moves with the old one.
void move_adaptive(float* node, double slow_down) {
  const double fx = node[slot::dx];
  const double fy = node[slot::dy];
  const double ox = node[slot::old_dx];
  const double oy = node[slot::old_dy];
  const double m = node[slot::mass];
  const double k = node[slot::convergence];
  const double traction = length(fx + ox, fy + oy);
  const double swinging = length(ox - fx, oy - fy);
  const double a = std::sqrt(swinging * m) + 1.0;
  const double g = (std::log(traction * 0.5 + 1.0) * k) / a;
  // fmin ignores a NaN, so a NaN under the root resets convergence to 1.
  node[slot::convergence] =
      static_cast<float>(std::fmin(std::sqrt(((fx * fx + fy * fy) * g) / a), 1.0));
  const double factor = g / slow_down;
  node[slot::x] = static_cast<float>(fx * factor + static_cast<double>(node[slot::x]));
  node[slot::y] = static_cast<float>(fy * factor + static_cast<double>(node[slot::y]));
}

// With adjustSizes a force longer than 10 is cut to length 10 and written
// back, so the next iteration's old force is the capped one; a fixed 0.1
// takes the place of convergence, which is left alone.
void move_capped(float* node, double slow_down) {
  double fx = node[slot::dx];
  double fy = node[slot::dy];
  const double magnitude = length(fx, fy);
  if (magnitude > 10.0) {  // false for NaN
    // The rest of the step uses the capped force as stored, rounded to f32.
    // GCC 12 at -O2 vectorises this pair and then reads back the unrounded
    // quotients instead (wrong code, caught by the whole-step tests); the
    // volatile round trip forces the rounding.
    const volatile float capped_x = static_cast<float>((fx * 10.0) / magnitude);
    const volatile float capped_y = static_cast<float>((fy * 10.0) / magnitude);
    node[slot::dx] = capped_x;
    node[slot::dy] = capped_y;
    fx = capped_x;
    fy = capped_y;
  }
  const double ox = node[slot::old_dx];
  const double oy = node[slot::old_dy];
  const double m = node[slot::mass];
  const double traction = length(fx + ox, fy + oy);
  const double swinging = length(ox - fx, oy - fy);
  const double factor =
      ((std::log(traction * 0.5 + 1.0) * 0.1) / (std::sqrt(swinging * m) + 1.0)) / slow_down;
  node[slot::x] = static_cast<float>(fx * factor + static_cast<double>(node[slot::x]));
  node[slot::y] = static_cast<float>(fy * factor + static_cast<double>(node[slot::y]));
}

}  // namespace

void apply_forces_phase(const LayoutSettings& settings, std::span<float> nodes) {
  apply_forces_range(settings, nodes, 0, (nodes.size() + node_stride - 1) / node_stride);
}

void apply_forces_range(const LayoutSettings& settings, std::span<float> nodes,
                        std::size_t first, std::size_t end) {
  const double slow_down = settings.slowDown;
  for (std::size_t base = first * node_stride; base < end * node_stride; base += node_stride) {
    // `fixed` is the first slot read and the record's last, so its test covers
    // the whole record, and a partial last record fails here.
    float& fixed = at(nodes, base + slot::fixed);
    if (fixed == 1.0f) {
      continue;
    }
    float* node = nodes.data() + base;
    if (settings.adjustSizes) {
      move_capped(node, slow_down);
    } else {
      move_adaptive(node, slow_down);
    }
  }
}

}  // namespace tallow
