// The sequential iteration step and the preparation it shares with the
// parallel one.

#include "iterate.hpp"

#include <cstddef>

#include "checked.hpp"

namespace tallow {

double prepare_step(const LayoutSettings& settings, std::span<float> nodes) {
  // Whole records only: the node count is the length divided by the stride.
  const std::size_t count = nodes.size() / node_stride;
  if (count > 0) {
    require_index(nodes.size(), count * node_stride - 1);  // covers the whole pass
  }
  for (std::size_t base = 0; base < count * node_stride; base += node_stride) {
    float* node = nodes.data() + base;
    node[slot::old_dx] = node[slot::dx];
    node[slot::old_dy] = node[slot::dy];
    node[slot::dx] = 0.0f;
    node[slot::dy] = 0.0f;
  }
  return attraction_compensation(settings, nodes);
}

double attraction_compensation(const LayoutSettings& settings, std::span<const float> nodes) {
  if (!settings.outboundAttractionDistribution) {
    return 0.0;
  }
  const std::size_t count = nodes.size() / node_stride;
  if (count > 0) {
    require_index(nodes.size(), count * node_stride - 1);
  }
  // A plain left-to-right f64 sum in node order.
  double mass_sum = 0.0;
  for (std::size_t base = 0; base < count * node_stride; base += node_stride) {
    mass_sum += static_cast<double>(nodes[base + slot::mass]);
  }
  // With no nodes this is 0 / 0, a NaN that no edge can reach.
  return mass_sum / static_cast<double>(count);
}

void iterate(const LayoutSettings& settings, std::span<float> nodes,
             std::span<const EdgeRecord> edges, StepBuffers& buffers) {
  const double compensation = prepare_step(settings, nodes);
  if (settings.barnesHutOptimize) {
    quadtree::build_into(buffers.regions, nodes, quadtree::Centres::walked_regions);
    repulsion_phase(settings, nodes, buffers.regions, buffers);
  } else {
    repulsion_phase(settings, nodes, {});
  }
  finish_step(settings, nodes, edges, compensation, buffers);
}

void finish_step(const LayoutSettings& settings, std::span<float> nodes,
                 std::span<const EdgeRecord> edges, double compensation, StepBuffers& buffers) {
  gravity_phase(settings, nodes);
  if (nodes.size() / node_stride >= min_nodes_packed_attraction) {
    attraction_phase(settings, nodes, edges, compensation, buffers.packed_nodes);
  } else {
    attraction_phase(settings, nodes, edges, compensation);
  }
  apply_forces_phase(settings, nodes);
}

void iterate(const LayoutSettings& settings, std::span<float> nodes,
             std::span<const EdgeRecord> edges) {
  StepBuffers buffers;
  iterate(settings, nodes, edges, buffers);
}

}  // namespace tallow
