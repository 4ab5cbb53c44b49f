// Repulsion: one Barnes-Hut walk per node, or exact over all pairs
// (exact_repulsion.cpp).
//
// Every contribution is rounded to f32 as it is stored, so the visiting
// order is part of the results: regions in the pre-order of their `next`
// threading.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "checked.hpp"
#include "iterate.hpp"
#include "opening_test.hpp"
#include "packet_walks.hpp"
#include "walk_rules.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {
namespace {

std::span<float, node_stride> node_record(std::span<float> nodes, std::size_t index) {
  require_index(nodes.size(), index * node_stride + slot::fixed);
  return std::span<float, node_stride>(nodes.data() + index * node_stride, node_stride);
}

}  // namespace

void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions) {
  StepBuffers buffers;
  repulsion_phase(settings, nodes, regions, buffers);
}

void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions, StepBuffers& buffers) {
  const std::size_t count = nodes.size() / node_stride;
  if (count == 0) {
    return;
  }
  if (settings.barnesHutOptimize) {
    bh_run_walks(settings, nodes, regions, buffers, 0,
                 bh_prepare_step_walks(buffers, nodes, regions));
  } else {
    exact_repulsion(settings, nodes);
  }
}

namespace {

// With sizes, the force factor on a node of scaled mass `scaled_mass`
// (coefficient * m) and scaled overlap mass `scaled_overlap` ((coefficient *
// 100) * m) from a node of mass `other_mass` met in a leaf, `d` being their
// distance less both sizes. Nothing when they just touch or d is NaN.
std::optional<double> sized_leaf_factor(double d, double other_mass, double scaled_mass,
                                        double scaled_overlap) {
  if (d > 0) {
    return scaled_mass * other_mass / d / d;
  }
  if (d < 0) {
    return scaled_overlap * other_mass;
  }
  return std::nullopt;
}

// With sizes, whether a region at squared distance d2 from a node of size
// `own_size` may stand for its subtree: only when no disc of its leaves can
// overlap the node's. A NaN reach never lets it.
bool stands_apart(double d2, double own_size, double reach) {
  const double limit = own_size + reach;
  return d2 > limit * limit;
}

// The walk descends through first_child while a region is too close to stand
// for its contents and moves on through next otherwise, so it needs no stack.
// Sizes are read only by the sized walk.
template <bool sized>
void walk_region_matrix(std::span<float, node_stride> node, std::size_t key,
                        std::span<const double> snapshot, std::span<const double> sizes,
                        std::span<const double> region_reach, std::span<const double> regions,
                        double coefficient, double theta2) {
  const double x = node[slot::x];
  const double y = node[slot::y];
  const double mass = node[slot::mass];
  const double scaled_mass = coefficient * mass;
  const double scaled_overlap = sized ? coefficient * 100 * mass : 0.0;
  const double own_size = sized ? static_cast<double>(node[slot::size]) : 0.0;
  // The node's force lives in locals for the walk: no other call writes it and
  // each contribution is still rounded to f32 as it is added.
  float dx = node[slot::dx];
  float dy = node[slot::dy];
  std::size_t r = 0;
  for (;;) {
    require_index(regions.size(), r + region::mass_center_y);
    const double* const reg = regions.data() + r;
    if (reg[region::first_child] >= 0) {
      const double dX = x - reg[region::mass_center_x];
      const double dY = y - reg[region::mass_center_y];
      const double d2 = dX * dX + dY * dY;
      const double half = reg[region::half_size];
      // Fails for d2 = 0 (+inf) and for NaN, which opens the region.
      if (!(4.0 * half * half / d2 < theta2) ||
          (sized && !stands_apart(d2, own_size, at(region_reach, r / region_stride)))) {
        r = region_offset(reg[region::first_child]);
        continue;
      }
      if (d2 > 0) {
        const double f = reg[region::mass] * scaled_mass / d2;
        dx = static_cast<float>(static_cast<double>(dx) + dX * f);
        dy = static_cast<float>(static_cast<double>(dy) + dY * f);
      }
    } else if (reg[region::node] >= 0) {
      const std::size_t other = region_offset(reg[region::node]);
      if (other != key) {
        const std::size_t s = other / node_stride * snapshot_stride;
        require_index(snapshot.size(), s + snapshot_slot::mass);
        const double dX = x - snapshot[s + snapshot_slot::x];
        const double dY = y - snapshot[s + snapshot_slot::y];
        const double d2 = dX * dX + dY * dY;
        if (d2 > 0) {
          const double other_mass = snapshot[s + snapshot_slot::mass];
          std::optional<double> f = other_mass * scaled_mass / d2;
          if constexpr (sized) {
            const std::size_t o = other / node_stride;
            require_index(sizes.size(), o);
            f = sized_leaf_factor(std::sqrt(d2) - own_size - sizes[o], other_mass, scaled_mass,
                                  scaled_overlap);
          }
          if (f) {
            dx = static_cast<float>(static_cast<double>(dx) + dX * *f);
            dy = static_cast<float>(static_cast<double>(dy) + dY * *f);
          }
        }
      }
    }
    if (!(reg[region::next] >= 0)) {
      break;
    }
    r = region_offset(reg[region::next]);
  }
  node[slot::dx] = dx;
  node[slot::dy] = dy;
}

}  // namespace

void bh_node_repulsion(const LayoutSettings& /*settings*/, std::span<float, node_stride> node,
                       std::size_t key, std::span<const double> snapshot,
                       std::span<const double> regions, double coefficient, double theta2) {
  walk_region_matrix<false>(node, key, snapshot, {}, {}, regions, coefficient, theta2);
}

void bh_node_repulsion_sized(std::span<float, node_stride> node, std::size_t key,
                             std::span<const double> snapshot, std::span<const double> sizes,
                             std::span<const double> region_reach,
                             std::span<const double> regions, double coefficient, double theta2) {
  walk_region_matrix<true>(node, key, snapshot, sizes, region_reach, regions, coefficient,
                           theta2);
}

namespace {

// The walk tree puts a region's subtree right after it, so opening a region
// is a step to the next record, with no dependent load on that path. The
// plain walk reads no size; the sized one reads tree.reach where it meets a
// leaf or a region that passes the opening test.
template <bool sized>
void walk_tree(std::span<float, node_stride> node, std::uint32_t index, const WalkTree& tree,
               double coefficient, double theta2, std::size_t start = 0) {
  const double x = node[slot::x];
  const double y = node[slot::y];
  // Every d2 of a NaN node is NaN: no region stands for its subtree and no
  // leaf adds a force, so the walk would leave dx and dy as they are.
  if (std::isnan(x) || std::isnan(y)) {
    return;
  }
  const double mass = node[slot::mass];
  const double scaled_mass = coefficient * mass;
  const double scaled_overlap = sized ? coefficient * 100 * mass : 0.0;
  const double own_size = sized ? static_cast<double>(node[slot::size]) : 0.0;
  const double own_leaf = -(static_cast<double>(index) + 1.0);
  const OpeningTest opening_test(theta2);
  float dx = node[slot::dx];
  float dy = node[slot::dy];
  const WalkRecord* const records = tree.records.data();
  const std::uint32_t* const skip = tree.skip.data();
  const double* const reach = tree.reach.data();
  const std::size_t count = walkable_records(tree, sized);
  std::size_t r = start;
  while (r < count) {  // the loop's bounds test: skips never point backwards
    const WalkRecord& record = records[r];
    const double dX = x - record.x;
    const double dY = y - record.y;
    const double d2 = dX * dX + dY * dY;
    if (!(record.opening < 0)) {  // a region, NaN opening included
      const Opening opening = opening_test.of(record.opening, d2);
      if (opening != Opening::stands) {
        r = opening == Opening::opens ? r + 1 : past_opened_region(tree, r, x, y);
        continue;
      }
      if constexpr (sized) {
        if (!stands_apart(d2, own_size, reach[r])) {
          ++r;
          continue;
        }
      }
      r = skip[r];
    } else {
      // Dead records add nothing, so a leaf that adds nothing may jump them.
      if (record.opening == own_leaf || !(d2 > 0)) {
        r = tree.shortcuts[r].next_live;
        continue;
      }
      if constexpr (sized) {
        const double d = std::sqrt(d2) - own_size - reach[r];
        ++r;
        if (const std::optional<double> f =
                sized_leaf_factor(d, record.mass, scaled_mass, scaled_overlap)) {
          dx = static_cast<float>(static_cast<double>(dx) + dX * *f);
          dy = static_cast<float>(static_cast<double>(dy) + dY * *f);
        }
        continue;
      }
      ++r;
    }
    if (d2 > 0) {
      const double f = record.mass * scaled_mass / d2;
      dx = static_cast<float>(static_cast<double>(dx) + dX * f);
      dy = static_cast<float>(static_cast<double>(dy) + dY * f);
    }
  }
  node[slot::dx] = dx;
  node[slot::dy] = dy;
}

}  // namespace

void bh_node_repulsion(std::span<float, node_stride> node, std::uint32_t index,
                       const WalkTree& tree, double coefficient, double theta2) {
  walk_tree<false>(node, index, tree, coefficient, theta2);
}

void bh_node_repulsion_sized(std::span<float, node_stride> node, std::uint32_t index,
                             const WalkTree& tree, double coefficient, double theta2) {
  walk_tree<true>(node, index, tree, coefficient, theta2);
}

void bh_node_repulsion_from(std::span<float, node_stride> node, std::uint32_t index,
                            const WalkTree& tree, double coefficient, double theta2,
                            std::size_t start, bool sized) {
  if (sized) {
    walk_tree<true>(node, index, tree, coefficient, theta2, start);
  } else {
    walk_tree<false>(node, index, tree, coefficient, theta2, start);
  }
}

namespace {

// Walks [begin, end) of one kind: the sized and the plain walk are chosen once
// per range, so the plain loop is the same code as before sizes existed.
template <bool sized>
void run_walks(std::span<float> nodes, std::span<const double> regions,
               const StepBuffers& buffers, std::size_t begin, std::size_t end,
               double coefficient, double theta2) {
  if (!buffers.walk_order.empty()) {
    const std::span<const std::uint32_t> order = buffers.walk_order;
    if (bh_run_packet_walks(nodes, buffers.walk_tree, order, begin, end, coefficient, theta2,
                            sized)) {
      return;
    }
    for (std::size_t k = begin; k < end; ++k) {
      // The walks go in spatial order, so the records of their nodes are
      // scattered over the node matrix: fetch a few walks ahead.
      if (k + 4 < end) {
        __builtin_prefetch(nodes.data() + std::size_t{order[k + 4]} * node_stride + slot::dx, 1);
      }
      const std::uint32_t index = at(order, k);
      walk_tree<sized>(node_record(nodes, index), index, buffers.walk_tree, coefficient, theta2);
    }
    return;
  }
  for (std::size_t k = begin; k < end; ++k) {
    walk_region_matrix<sized>(node_record(nodes, k), k * node_stride, buffers.snapshot,
                              buffers.node_sizes, buffers.region_reach, regions, coefficient,
                              theta2);
  }
}

}  // namespace

void bh_run_walks(const LayoutSettings& settings, std::span<float> nodes,
                  std::span<const double> regions, const StepBuffers& buffers,
                  std::size_t begin, std::size_t end) {
  const double coefficient = settings.scalingRatio;
  const double theta2 = settings.barnesHutTheta * settings.barnesHutTheta;
  if (buffers.sized_leaves) {
    run_walks<true>(nodes, regions, buffers, begin, end, coefficient, theta2);
  } else {
    run_walks<false>(nodes, regions, buffers, begin, end, coefficient, theta2);
  }
}

}  // namespace tallow
