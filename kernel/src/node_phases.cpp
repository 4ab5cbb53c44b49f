#include "node_phases.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "checked.hpp"
#include "gravity_force.hpp"
#include "incident_edges.hpp"
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

void rotate_forces_range(std::span<float> nodes, std::size_t first, std::size_t end) {
  if (first < end) {
    require_index(nodes.size(), end * node_stride - 1);
  }
  for (float* node = nodes.data() + first * node_stride;
       node != nodes.data() + end * node_stride; node += node_stride) {
    node[slot::old_dx] = node[slot::dx];
    node[slot::old_dy] = node[slot::dy];
    node[slot::dx] = 0.0f;
    node[slot::dy] = 0.0f;
  }
}

namespace {

void gravity_and_attraction_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                                    std::span<float> nodes, std::span<const EdgeRecord> edges,
                                    double compensation, std::vector<float>& packed) {
  if (!whole_records(nodes)) {
    gravity_phase(settings, nodes);
    attraction_phase(settings, nodes, edges, compensation);
    return;
  }
  // Without edge lists attraction stays on this thread in edge order: split
  // by node ranges, every part had to scan all edges and branch on which ends
  // are its own, and one part cost more than the whole phase (100,000 nodes:
  // 8.3 ms a part, 1.7 ms the phase; 1,000,000: 85 ms and 75 ms). Its packing
  // rides with gravity.
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

// Gravity, attraction from the lists and force application, block by block:
// a block's records stay in the cache from its gravity to its move. A node
// moves only once its own attraction is summed, and the others read its
// position from the copy made at the step's start, so each block is finished
// as soon as its edges are.
void finish_listed_blocks(WorkerPool& pool, const LayoutSettings& settings,
                          std::span<float> nodes, const IncidentEdges& lists,
                          ListedValues& values) {
  const std::size_t count = nodes.size() / node_stride;
  const std::size_t blocks = (count + nodes_per_block - 1) / nodes_per_block;
  pool.for_each(
      blocks,
      [&](std::size_t first, std::size_t end) {
        const std::size_t low = first * nodes_per_block;
        const std::size_t high = std::min(count, end * nodes_per_block);
        gravity_range(settings, nodes, low, high);
        gather_listed_forces(lists, nodes, values, low, high);
        attraction_listed(settings, lists, values, first * groups_per_block,
                          std::min(lists.groups(), end * groups_per_block));
        scatter_listed_forces(lists, values, nodes, low, high);
        apply_forces_range(settings, nodes, low, high);
      },
      /*largest_range=*/1);
}

// Whether the step can sum attraction per node from buffers.incident_edges,
// made here at the run's first step. For whole records only (the caller's
// check).
bool has_edge_lists(WorkerPool& pool, const LayoutSettings& settings,
                    std::span<const float> nodes, std::span<const EdgeRecord> edges,
                    StepBuffers& buffers) {
  IncidentEdges& lists = buffers.incident_edges;
  const std::size_t count = nodes.size() / node_stride;
  if (lists.edges_released) {
    return lists.usable && lists.node_count == count && listed_attraction_fits(settings);
  }
  if (count < lists.min_nodes || !listed_attraction_fits(settings)) {
    return false;
  }
  const bool usable = list_incident_edges(lists, edges, count,
                                          [&pool](std::size_t parts, const RangeBody& body) {
                                            pool.for_each(parts, body, /*largest_range=*/1);
                                          });
  if (usable && buffers.release_edges) {
    lists.edges_released = true;
    std::exchange(buffers.release_edges, nullptr)();
  }
  return usable;
}

}  // namespace

PoolStepStart prepare_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                                   std::span<float> nodes, std::span<const EdgeRecord> edges,
                                   StepBuffers& buffers) {
  // The compensation is one left-to-right sum over all masses: that mode
  // keeps the sequential pass (and edge order, which it needs).
  if (settings.outboundAttractionDistribution || !whole_records(nodes)) {
    return {prepare_step(settings, nodes), false};
  }
  const bool listed = has_edge_lists(pool, settings, nodes, edges, buffers);
  const IncidentEdges& lists = buffers.incident_edges;
  ListedValues& values = buffers.listed_values;
  if (listed) {
    values.resize(nodes.size() / node_stride);
  }
  pool.for_each(nodes.size() / node_stride, [&](std::size_t first, std::size_t end) {
    rotate_forces_range(nodes, first, end);
    if (listed) {
      gather_listed_positions(lists, nodes, values, first, end);
    }
  });
  return {0.0, listed};
}

void finish_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                         std::span<float> nodes, std::span<const EdgeRecord> edges,
                         const PoolStepStart& start, StepBuffers& buffers) {
  if (!start.listed) {
    gravity_and_attraction_on_pool(pool, settings, nodes, edges, start.compensation,
                                   buffers.packed_nodes);
    apply_forces_on_pool(pool, settings, nodes);
    return;
  }
  finish_listed_blocks(pool, settings, nodes, buffers.incident_edges, buffers.listed_values);
}

}  // namespace tallow
