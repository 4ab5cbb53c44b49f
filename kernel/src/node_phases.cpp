#include "node_phases.hpp"

#include <algorithm>
#include <cstdint>

#include "checked.hpp"
#include "gravity_force.hpp"
#include "iterate.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

// Whole records only: a partial record stays with the sequential phases,
// which report it at the slot it lacks.
bool whole_records(std::span<const float> nodes) { return nodes.size() % node_stride == 0; }

}  // namespace

void gravity_range(const LayoutSettings& settings, std::span<float> nodes, std::size_t first,
                   std::size_t end) {
  if (first < end) {
    require_index(nodes.size(), end * node_stride - 1);  // covers the whole pass
  }
  const GravityTerms terms(settings);
  for (std::size_t i = first; i < end; ++i) {
    float* node = nodes.data() + i * node_stride;
    pull_to_centre(terms, [node](std::size_t k) -> float& { return node[k]; });
  }
}

double prepare_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes) {
  // The compensation is one left-to-right sum over all masses: that mode
  // keeps the sequential pass.
  if (settings.outboundAttractionDistribution || !whole_records(nodes)) {
    return prepare_step(settings, nodes);
  }
  pool.for_each(nodes.size() / node_stride, [&](std::size_t first, std::size_t end) {
    for (float* node = nodes.data() + first * node_stride;
         node != nodes.data() + end * node_stride; node += node_stride) {
      node[slot::old_dx] = node[slot::dx];
      node[slot::old_dy] = node[slot::dy];
      node[slot::dx] = 0.0f;
      node[slot::dy] = 0.0f;
    }
  });
  return 0.0;
}

void gravity_and_attraction_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                                    std::span<float> nodes, std::span<const EdgeRecord> edges,
                                    double compensation, std::vector<float>& packed) {
  if (!whole_records(nodes)) {
    gravity_phase(settings, nodes);
    attraction_phase(settings, nodes, edges, compensation);
    return;
  }
  // Attraction itself stays on this thread: split by node ranges, every part
  // had to scan all edges and branch on which ends are its own, and one part
  // cost more than the whole phase (100,000 nodes: 8.3 ms a part, 1.7 ms the
  // phase; 1,000,000: 85 ms and 75 ms). Its packing rides with gravity.
  const std::size_t count = nodes.size() / node_stride;
  const bool packs = count >= min_nodes_packed_attraction;
  if (packs) {
    packed.resize(count * packed_stride);
  }
  pool.for_each(count, [&](std::size_t first, std::size_t end) {
    gravity_range(settings, nodes, first, end);
    if (packs) {
      pack_attraction_slots(packed, nodes, first, end);
    }
  });
  if (!packs) {
    attraction_phase(settings, nodes, edges, compensation);
    return;
  }
  attraction_packed(settings, nodes, edges, compensation, packed);
  pool.for_each(count, [&](std::size_t first, std::size_t end) {
    unpack_attraction_forces(nodes, packed, first, end);
  });
}

void apply_forces_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                          std::span<float> nodes) {
  if (!whole_records(nodes)) {
    apply_forces_phase(settings, nodes);
    return;
  }
  pool.for_each(nodes.size() / node_stride, [&](std::size_t first, std::size_t end) {
    apply_forces_range(settings, nodes, first, end);
  });
}

}  // namespace tallow
