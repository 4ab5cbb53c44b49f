// What the Barnes-Hut walks of one step read: the walk tree and the walk
// order, rebuilt from the region matrix every step (or, beyond 32-bit
// indices, an f64 snapshot of the nodes).
//
// The walk tree holds the regions in the pre-order of their `next` threading,
// the order a walk visits them in, so that order is part of the results. The
// build reads the region matrix in array order instead of following links:
// children are always appended after their parent, four together, so a
// backward pass sees children before parents and a forward pass the reverse.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "checked.hpp"
#include "fatal.hpp"
#include "iterate.hpp"
#include "walk_tree_parts.hpp"

namespace tallow {
namespace {

// An f64 copy of a node matrix this large could not be addressed.
constexpr std::size_t max_snapshot_source = std::size_t{1} << 60;

// The walk order holds u32 node indices.
constexpr std::size_t max_ordered_nodes =
    std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1;

// Calls `visit(node_offset)` for every leaf of the region matrix that holds a
// node, in pre-order, following first_child and next. Like every walk, it
// takes a matrix without a root for a broken one.
template <class Visit>
void for_each_leaf_node(std::span<const double> regions, Visit&& visit) {
  std::size_t r = 0;
  for (;;) {
    require_index(regions.size(), r + region::mass_center_y);
    const double* reg = regions.data() + r;
    if (reg[region::first_child] >= 0) {
      r = region_offset(reg[region::first_child]);
      continue;
    }
    if (reg[region::node] >= 0) {
      visit(region_offset(reg[region::node]));
    }
    if (!(reg[region::next] >= 0)) {
      return;
    }
    r = region_offset(reg[region::next]);
  }
}

// The region index of a region's first child, checked against the layout the
// linear passes rely on.
std::uint32_t first_child_index(const double* reg, std::size_t index, std::size_t region_count) {
  const std::size_t offset = region_offset(reg[region::first_child]);
  const std::size_t child = offset / region_stride;
  if (offset % region_stride != 0 || child <= index || child + 3 >= region_count) {
    fatal("broken region tree: region " + std::to_string(index) + " has its children at " +
          std::to_string(offset));
  }
  return static_cast<std::uint32_t>(child);
}

}  // namespace

void count_subtrees(WalkSlots& slots, std::span<const double> regions) {
  const std::size_t count = regions.size() / region_stride;
  slots.resize(count);
  for (std::size_t k = count; k-- > 0;) {
    const double* reg = regions.data() + k * region_stride;
    if (reg[region::first_child] >= 0) {
      const std::uint32_t c = first_child_index(reg, k, count);
      const WalkSlot* child = slots.data() + c;
      slots[k] = {1 + child[0].records + child[1].records + child[2].records + child[3].records,
                  child[0].leaves + child[1].leaves + child[2].leaves + child[3].leaves, c};
    } else {
      const std::uint32_t held = reg[region::node] >= 0 ? 1 : 0;
      slots[k] = {held, held, walk_region};
    }
  }
}

void place_subtrees(std::span<WalkSlot> slots, decltype(WalkTree::skip)& skip,
                    std::uint32_t root_record, std::uint32_t root_rank) {
  slots[0].records = root_record;
  slots[0].leaves = root_rank;
  for (const WalkSlot& parent : slots) {  // children lie later: placed before they are read
    if (parent.child == walk_region) {
      continue;
    }
    std::uint32_t position = parent.records + 1;
    std::uint32_t rank = parent.leaves;
    for (std::size_t q = parent.child; q < std::size_t{parent.child} + 4; ++q) {
      WalkSlot& child = slots[q];
      position += std::exchange(child.records, position);
      rank += std::exchange(child.leaves, rank);
    }
    at(skip, parent.records) = position;
  }
}

namespace {

// A leaf's node as the walk tree records it.
struct LeafNode {
  std::size_t index;
  float x;
  float y;
  float mass;
};

// Leaves that name their node by its node-matrix offset (the whole tree).
struct MatrixLeaves {
  std::span<const float> nodes;

  LeafNode read(std::size_t offset) const {
    const std::size_t index = offset / node_stride;
    require_index(nodes.size(), index * node_stride + slot::mass);
    const float* n = nodes.data() + index * node_stride;
    return {index, n[slot::x], n[slot::y], n[slot::mass]};
  }
  const float* locate(std::size_t offset) const {
    return offset < nodes.size() ? nodes.data() + offset : nullptr;
  }
};

// Leaves that name their node by its place among a cell's packed bodies.
struct PackedLeaves {
  std::span<const quadtree::Arrival> arrivals;
  std::span<const float> bodies;

  LeafNode read(std::size_t offset) const {
    require_index(bodies.size(), offset + quadtree::packed_body::mass);
    const float* b = bodies.data() + offset;
    return {at(arrivals, offset / quadtree::packed_body::stride).node,
            b[quadtree::packed_body::x], b[quadtree::packed_body::y],
            b[quadtree::packed_body::mass]};
  }
  const float* locate(std::size_t offset) const {
    return offset < bodies.size() ? bodies.data() + offset : nullptr;
  }
};

constexpr double unread = std::numeric_limits<double>::quiet_NaN();

// Records land scattered over the walk tree, and leaves read scattered node
// records: fetch both for a region some way ahead.
template <class Leaves>
void prefetch_record_inputs(const WalkTree& tree, const Leaves& leaves, const double* reg,
                            const WalkSlot& place) {
  if (place.records < tree.records.size()) {
    __builtin_prefetch(tree.records.data() + place.records, 1);
  }
  if (reg[region::node] >= 0) {
    if (const float* node = leaves.locate(region_offset(reg[region::node]))) {
      __builtin_prefetch(node);
    }
  }
}

template <class Leaves>
void write_records_from(StepBuffers& buffers, std::span<const WalkSlot> slots,
                        std::span<const float> nodes, const Leaves& leaves,
                        std::span<const double> regions, std::size_t begin, std::size_t end) {
  WalkTree& tree = buffers.walk_tree;
  const bool sized = buffers.sized_leaves;
  constexpr std::size_t ahead = 16;
  for (std::size_t k = begin; k < end; ++k) {
    const double* reg = regions.data() + k * region_stride;
    if (k + ahead < slots.size()) {  // past the range too: the next range may be ours
      prefetch_record_inputs(tree, leaves, reg + ahead * region_stride, slots[k + ahead]);
    }
    const WalkSlot place = slots[k];
    if (place.child != walk_region) {
      const double half = reg[region::half_size];
      const double opening = 4.0 * half * half;
      // No walk reads more of a region whose opening is not finite than that
      // (it is opened and adds nothing), and a build may leave its centre
      // unworked (quadtree::Centres): every build records the same NaN.
      at(tree.records, place.records) =
          opening < std::numeric_limits<double>::infinity()
              ? WalkRecord{reg[region::mass_center_x], reg[region::mass_center_y],
                           reg[region::mass], opening}
              : WalkRecord{unread, unread, unread, opening};
    } else if (reg[region::node] >= 0) {
      const LeafNode n = leaves.read(region_offset(reg[region::node]));
      at(tree.records, place.records) = {n.x, n.y, n.mass,
                                        -(static_cast<double>(n.index) + 1.0)};
      if (sized) {
        at(tree.reach, place.records) = at(nodes, n.index * node_stride + slot::size);
      }
      tree.skip[place.records] = place.records + 1;
      at(buffers.walk_order, place.leaves) = static_cast<std::uint32_t>(n.index);
      // Only a broken tree has two leaves flag one node; the flags catch it.
      std::atomic_ref<std::uint8_t>(at(buffers.in_leaf, n.index))
          .store(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace

void write_records(StepBuffers& buffers, std::span<const WalkSlot> slots,
                   std::span<const float> nodes, std::span<const double> regions,
                   std::size_t begin, std::size_t end) {
  write_records_from(buffers, slots, nodes, MatrixLeaves{nodes}, regions, begin, end);
}

void write_cell_records(StepBuffers& buffers, std::span<const WalkSlot> slots,
                        std::span<const float> nodes, const quadtree::Cell& cell) {
  write_records_from(buffers, slots, nodes, PackedLeaves{cell.arrivals, cell.bodies},
                     cell.regions, 0, slots.size());
}

namespace {

// The leaf walk repeated on one thread to name the node held twice.
[[noreturn]] void report_node_in_two_leaves(std::span<const double> regions,
                                            std::size_t node_count) {
  std::vector<std::uint32_t> order;
  bh_walk_order(order, regions, node_count);
  fatal("broken region tree: its leaves hold more nodes than the " +
        std::to_string(node_count) + " there are");
}

}  // namespace

void append_left_out(StepBuffers& buffers, std::span<const double> regions,
                     std::size_t node_count, std::size_t leaves) {
  std::size_t next = leaves;
  for (std::size_t k = 0; k < node_count; ++k) {
    if (buffers.in_leaf[k] == 0) {
      if (next == node_count) {
        report_node_in_two_leaves(regions, node_count);
      }
      buffers.walk_order[next++] = static_cast<std::uint32_t>(k);
    }
  }
}

namespace {

// A record no walk takes a force from and every walk steps past to the next
// record: its d2 or its ratio is NaN or infinite for any node.
bool is_dead(const WalkRecord& record) {
  if (std::isnan(record.x) || std::isnan(record.y)) {
    return true;
  }
  return !(record.opening < 0) && !(record.opening < std::numeric_limits<double>::infinity());
}

// The larger radius, NaN winning, so that any NaN below a region makes its
// reach NaN whatever order its children come in.
double wider(double reach, double term) {
  return std::isnan(reach) || term <= reach ? reach : term;
}

// How far from (x, y) the discs of a child reach: the distance to the child's
// point (mass centre or node) plus the child's own reach.
double reach_through(double x, double y, double child_x, double child_y, double child_reach) {
  const double dX = x - child_x;
  const double dY = y - child_y;
  return std::sqrt(dX * dX + dY * dY) + child_reach;
}

}  // namespace

// A region's children follow it in the records, each subtree ending where its
// skip points; backwards, every child's reach is known before its parent's.
void mark_reach_in(WalkTree& tree, std::size_t begin, std::size_t end) {
  if (end > begin) {
    require_index(tree.skip.size(), end - 1);
    require_index(tree.reach.size(), end - 1);
  }
  for (std::size_t r = end; r-- > begin;) {
    const WalkRecord& region = tree.records[r];
    if (region.opening < 0) {
      continue;  // a leaf: its node's size, written with the record
    }
    double reach = 0.0;
    for (std::size_t c = r + 1; c < tree.skip[r]; c = at(tree.skip, c)) {
      const WalkRecord& child = at(tree.records, c);
      reach = wider(reach, reach_through(region.x, region.y, child.x, child.y, tree.reach[c]));
    }
    tree.reach[r] = reach;
  }
}

void bh_mark_reach(WalkTree& tree) { mark_reach_in(tree, 0, tree.records.size()); }

// Children are appended after their parent, so backwards they come first;
// quadrant order, empty leaves left out, as in the walk tree.
void bh_region_reach(std::vector<double>& reach, std::span<const double> regions,
                     std::span<const double> snapshot, std::span<const double> sizes) {
  const std::size_t count = regions.size() / region_stride;
  reach.assign(count, 0.0);
  for (std::size_t k = count; k-- > 0;) {
    const double* reg = regions.data() + k * region_stride;
    if (reg[region::first_child] >= 0) {
      const std::uint32_t first = first_child_index(reg, k, count);
      double radius = 0.0;
      for (std::size_t c = first; c < std::size_t{first} + 4; ++c) {
        const double* child = regions.data() + c * region_stride;
        if (child[region::first_child] >= 0) {
          radius = wider(radius, reach_through(reg[region::mass_center_x],
                                               reg[region::mass_center_y],
                                               child[region::mass_center_x],
                                               child[region::mass_center_y], reach[c]));
        } else if (child[region::node] >= 0) {
          // A leaf's point is its node's position.
          const std::size_t s =
              region_offset(child[region::node]) / node_stride * snapshot_stride;
          require_index(snapshot.size(), s + snapshot_slot::y);
          radius = wider(radius, reach_through(reg[region::mass_center_x],
                                               reg[region::mass_center_y],
                                               snapshot[s + snapshot_slot::x],
                                               snapshot[s + snapshot_slot::y], reach[c]));
        }
      }
      reach[k] = radius;
    } else if (reg[region::node] >= 0) {
      reach[k] = at(sizes, region_offset(reg[region::node]) / node_stride);
    }
  }
}

namespace {

// The backward pass's state past record r: the first live record after it,
// the first live record from it on (`run_key`, or none), and the end of the
// longest stretch from it on whose live records share run_key's point.
struct ShortcutCarry {
  std::uint32_t next_live;
  std::uint32_t run_key;
  std::size_t run_end;
};

bool same_point(const WalkRecord& a, const WalkRecord& b) { return a.x == b.x && a.y == b.y; }

void mark_record(WalkTree& tree, std::size_t r, ShortcutCarry& c) {
  const WalkRecord& record = tree.records[r];
  tree.shortcuts[r].next_live = c.next_live;
  if (!is_dead(record)) {
    if (c.run_key != walk_all_dead && !same_point(tree.records[c.run_key], record)) {
      c.run_end = c.run_key;
    }
    c.run_key = static_cast<std::uint32_t>(r);
    c.next_live = static_cast<std::uint32_t>(r);
  }
  tree.shortcuts[r].same_point = c.run_end >= tree.skip[r] ? c.run_key : walk_mixed;
}

// Marks records [begin, end) backwards from `c`.
void mark_range(WalkTree& tree, std::size_t begin, std::size_t end, ShortcutCarry& c) {
  if (end > begin) {
    require_index(tree.skip.size(), end - 1);
    require_index(tree.shortcuts.size(), end - 1);
  }
  for (std::size_t r = end; r-- > begin;) {
    mark_record(tree, r, c);
  }
}

}  // namespace

void bh_mark_shortcuts(WalkTree& tree) {
  const std::size_t count = tree.records.size();
  resize_in_parts(tree.shortcuts, count, on_calling_thread);
  ShortcutCarry carry{static_cast<std::uint32_t>(count), walk_all_dead, count};
  mark_range(tree, 0, count, carry);
}

// With nothing known past the stretch, only its records after its last live
// one lack their next live record and their run's key: the join mends them.
// Every other record's run either ends inside the stretch or reaches its
// end, and a subtree inside it ends there at the latest, so its mark holds
// whatever follows.
void mark_shortcuts_in(WalkTree& tree, ShortcutStretch& stretch) {
  ShortcutCarry carry{static_cast<std::uint32_t>(stretch.end), walk_all_dead, stretch.end};
  mark_range(tree, stretch.begin, stretch.end, carry);
  stretch.first_live = carry.run_key;
  stretch.run_end = carry.run_end;
  stretch.marked = true;
}

void join_shortcuts(WalkTree& tree, std::vector<ShortcutStretch>& stretches) {
  std::sort(stretches.begin(), stretches.end(),
            [](const ShortcutStretch& a, const ShortcutStretch& b) { return a.begin > b.begin; });
  const std::size_t count = tree.records.size();
  ShortcutCarry c{static_cast<std::uint32_t>(count), walk_all_dead, count};
  for (const ShortcutStretch& stretch : stretches) {
    if (!stretch.marked) {
      mark_range(tree, stretch.begin, stretch.end, c);
      continue;
    }
    for (std::size_t r = stretch.end; r-- > stretch.begin;) {
      at(tree.shortcuts, r).next_live = c.next_live;
      if (!is_dead(tree.records[r])) {
        break;
      }
      tree.shortcuts[r].same_point = c.run_end >= at(tree.skip, r) ? c.run_key : walk_mixed;
    }
    if (stretch.first_live == walk_all_dead) {
      continue;
    }
    if (stretch.run_end != stretch.end) {
      c.run_end = stretch.run_end;
    } else if (c.run_key != walk_all_dead &&
               !same_point(tree.records[c.run_key], at(tree.records, stretch.first_live))) {
      c.run_end = c.run_key;
    }
    c.run_key = stretch.first_live;
    c.next_live = stretch.first_live;
  }
}

void on_calling_thread(std::size_t count, const RangeBody& body) { body(0, count); }

void take_snapshot(NodeSnapshot& snapshot, std::span<const float> nodes) {
  if (nodes.size() >= max_snapshot_source) {
    fatal("capacity overflow: a node matrix of " + std::to_string(nodes.size()) +
          " values is too large to copy for the Barnes-Hut walk");
  }
  const std::size_t count = nodes.size() / node_stride;
  snapshot.resize(count * snapshot_stride);
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::mass);
  }
  const float* source = nodes.data();
  double* target = snapshot.data();
  for (std::size_t i = 0; i < count; ++i) {
    target[snapshot_slot::x] = source[slot::x];
    target[snapshot_slot::y] = source[slot::y];
    target[snapshot_slot::mass] = source[slot::mass];
    source += node_stride;
    target += snapshot_stride;
  }
}

void take_sizes(std::vector<double>& sizes, std::span<const float> nodes) {
  const std::size_t count = nodes.size() / node_stride;
  sizes.resize(count);
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::size);
  }
  for (std::size_t i = 0; i < count; ++i) {
    sizes[i] = nodes[i * node_stride + slot::size];
  }
}

// One array serves first as "in a leaf" flags, then as the order itself: the
// left-out nodes are written from the back while scanning down, so a write at
// position p >= k never lands on a flag still to be read.
void bh_walk_order(std::vector<std::uint32_t>& order, std::span<const double> regions,
                   std::size_t node_count) {
  if (node_count > max_ordered_nodes) {
    fatal("capacity overflow: " + std::to_string(node_count) +
          " nodes are too many to number with 32-bit indices");
  }
  order.assign(node_count, 0);
  for_each_leaf_node(regions, [&](std::size_t offset) {
    const std::size_t index = offset / node_stride;
    std::uint32_t& in_leaf = at(order, index);
    if (in_leaf != 0) {
      fatal("broken region tree: node " + std::to_string(index) + " is held by two leaves");
    }
    in_leaf = 1;
  });
  std::size_t back = node_count;
  for (std::size_t k = node_count; k-- > 0;) {
    if (order[k] == 0) {
      order[--back] = static_cast<std::uint32_t>(k);
    }
  }
  std::size_t front = 0;
  for_each_leaf_node(regions, [&](std::size_t offset) {
    order[front++] = static_cast<std::uint32_t>(offset / node_stride);
  });
}

bool bh_walk_tree_fits(std::size_t node_count, std::span<const double> regions) {
  return node_count < walk_region && regions.size() / region_stride < walk_region;
}

void bh_prepare_walks(StepBuffers& buffers, std::span<const float> nodes,
                      std::span<const double> regions, const ForEachRange& for_each) {
  const std::size_t node_count = nodes.size() / node_stride;
  if (!bh_walk_tree_fits(node_count, regions)) {
    fatal("capacity overflow: " + std::to_string(node_count) + " nodes in " +
          std::to_string(regions.size() / region_stride) +
          " regions are too many to index with 32 bits");
  }
  require_index(regions.size(), region::mass_center_y);  // every tree has its root
  const std::size_t region_count = regions.size() / region_stride;
  require_index(regions.size(), region_count * region_stride - 1);

  count_subtrees(buffers.walk_slots, regions);
  const WalkSlot root = buffers.walk_slots[0];
  if (root.leaves > node_count) {
    report_node_in_two_leaves(regions, node_count);
  }
  resize_in_parts(buffers.walk_tree.records, root.records, for_each);
  resize_in_parts(buffers.walk_tree.skip, root.records, for_each);
  buffers.walk_tree.reach.resize(buffers.sized_leaves ? root.records : 0);
  buffers.walk_order.resize(node_count);
  buffers.in_leaf.assign(node_count, 0);
  place_subtrees(buffers.walk_slots, buffers.walk_tree.skip, 0, 0);
  for_each(region_count, [&](std::size_t begin, std::size_t end) {
    write_records(buffers, buffers.walk_slots, nodes, regions, begin, end);
  });
  append_left_out(buffers, regions, node_count, root.leaves);
  bh_mark_shortcuts(buffers.walk_tree);
  if (buffers.sized_leaves) {
    bh_mark_reach(buffers.walk_tree);
  }
}

std::size_t bh_prepare_step_walks(StepBuffers& buffers, std::span<const float> nodes,
                                  std::span<const double> regions,
                                  const ForEachRange& for_each) {
  const std::size_t count = nodes.size() / node_stride;
  if (bh_walk_tree_fits(count, regions)) {
    bh_prepare_walks(buffers, nodes, regions, for_each);
  } else {
    // Beyond 32-bit indices: the region-matrix walk in node order, same bits.
    buffers.walk_tree.records.clear();
    buffers.walk_tree.skip.clear();
    buffers.walk_tree.shortcuts.clear();
    buffers.walk_tree.reach.clear();
    buffers.walk_order.clear();
    take_snapshot(buffers.snapshot, nodes);
    if (buffers.sized_leaves) {
      take_sizes(buffers.node_sizes, nodes);
      bh_region_reach(buffers.region_reach, regions, buffers.snapshot, buffers.node_sizes);
    }
  }
  return count;
}

}  // namespace tallow
