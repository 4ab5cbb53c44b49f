#include "node_phases.hpp"

#include <algorithm>
#include <cstdint>

#include "attraction_force.hpp"
#include "checked.hpp"
#include "gravity_force.hpp"
#include "iterate.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

template <WeightPower power>
void attract_part(const AttractionModes& modes, std::span<float> nodes,
                  std::span<const float> ends, std::span<const EdgeRecord> edges,
                  std::size_t first, std::size_t end, bool check_all_ends) {
  const std::size_t count = nodes.size() / node_stride;
  const auto mine = [&](std::uint32_t node) { return node >= first && node < end; };
  // Edges name nodes all over the node matrix: fetch the records of the
  // edges this part takes a few edges ahead, so that cache misses overlap.
  constexpr std::size_t ahead = 16;
  const std::size_t edge_count = edges.size();
  for (std::size_t k = 0; k < edge_count; ++k) {
    if (k + ahead < edge_count) {
      // Both ends are read from the copy; only this part's ends are written.
      const EdgeRecord& later = edges[k + ahead];
      const bool source_mine = mine(later.source);
      const bool target_mine = mine(later.target);
      if (source_mine || target_mine) {
        __builtin_prefetch(ends.data() + std::size_t{later.source} * ends_stride);
        __builtin_prefetch(ends.data() + std::size_t{later.target} * ends_stride);
      }
      if (source_mine) {
        __builtin_prefetch(nodes.data() + std::size_t{later.source} * node_stride + slot::dx, 1);
      }
      if (target_mine) {
        __builtin_prefetch(nodes.data() + std::size_t{later.target} * node_stride + slot::dx, 1);
      }
    }
    const EdgeRecord& edge = edges[k];
    const bool at_source = mine(edge.source);
    const bool at_target = mine(edge.target);
    const bool stray = check_all_ends && (edge.source >= count || edge.target >= count);
    if (!at_source && !at_target && !stray) {
      continue;
    }
    const EdgeForce force = edge_force<power>(modes, CompactEnds{ends}, edge);  // fatal if stray
    if (!force.acts) {
      continue;
    }
    // A self-loop in this part takes both ends, source first, as in edge order.
    if (at_source) {
      pull_source(nodes.data() + std::size_t{edge.source} * node_stride, force);
    }
    if (at_target) {
      pull_target(nodes.data() + std::size_t{edge.target} * node_stride, force);
    }
  }
}

// Whole records only: a partial record stays with the sequential phases,
// which report it at the slot it lacks.
bool whole_records(std::span<const float> nodes) { return nodes.size() % node_stride == 0; }

}  // namespace

void gravity_and_attraction_part(const LayoutSettings& settings, std::span<float> nodes,
                                 std::span<const float> ends,
                                 std::span<const EdgeRecord> edges, double compensation,
                                 std::size_t first, std::size_t end, bool check_all_ends) {
  if (first < end) {
    require_index(nodes.size(), end * node_stride - 1);  // covers the gravity pass
  }
  const GravityTerms terms(settings);
  for (std::size_t i = first; i < end; ++i) {
    float* node = nodes.data() + i * node_stride;
    pull_to_centre(terms, [node](std::size_t k) -> float& { return node[k]; });
  }
  const AttractionModes modes(settings, compensation);
  with_weight_power(settings.edgeWeightInfluence, [&]<WeightPower power>() {
    attract_part<power>(modes, nodes, ends, edges, first, end, check_all_ends);
  });
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
                                    double compensation, std::vector<float>& ends) {
  if (!whole_records(nodes)) {
    gravity_phase(settings, nodes);
    attraction_phase(settings, nodes, edges, compensation);
    return;
  }
  const std::size_t count = nodes.size() / node_stride;
  ends.resize(count * ends_stride);
  pool.for_each(count, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      const float* node = nodes.data() + i * node_stride;
      float* copy = ends.data() + i * ends_stride;
      copy[0] = node[slot::x];
      copy[1] = node[slot::y];
      copy[2] = node[slot::size];
      copy[3] = node[slot::mass];
    }
  });
  // One part per worker: each part scans all edges, so more parts than
  // workers would only add scans.
  const std::size_t parts = std::max<std::size_t>(pool.size(), 1);
  pool.for_each(
      parts,
      [&](std::size_t part, std::size_t) {
        const std::size_t first = count * part / parts;
        const std::size_t end = count * (part + 1) / parts;
        gravity_and_attraction_part(settings, nodes, ends, edges, compensation, first, end,
                                    /*check_all_ends=*/part == 0);
      },
      /*largest_range=*/1);
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
