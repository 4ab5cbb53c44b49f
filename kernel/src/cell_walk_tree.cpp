// The walk tree of a region tree built in cells. A walk sees the regions in
// pre-order and never their numbering, and in pre-order every cell's subtree
// is one stretch of records: each cell's stretch is written from the cell's
// own region matrix, at the place the regions above the cells give it, and
// the whole tree is never assembled as one matrix.
#include <cstdint>
#include <vector>
#include <string>

#include "checked.hpp"
#include "fatal.hpp"
#include "iterate.hpp"
#include "walk_tree_parts.hpp"

namespace tallow {
namespace {

// The top's slots, a cell's region counted as its whole subtree and placed,
// not entered (its regions are placed by the cell). Counts are summed in 64
// bits so that a tree beyond 32-bit record indices is caught, not wrapped.
void count_top(WalkSlots& slots, const quadtree::BuildScratch& s,
               const std::vector<WalkSlots>& cell_slots) {
  const std::size_t count = s.top.size() / region_stride;
  require_index(s.cell_of.size(), count - 1);
  slots.resize(count);
  std::vector<std::uint64_t> records(count);
  for (std::size_t k = count; k-- > 0;) {
    const double* reg = s.top.data() + k * region_stride;
    if (s.cell_of[k] >= 0) {
      const WalkSlot root = at(cell_slots, static_cast<std::size_t>(s.cell_of[k]))[0];
      slots[k] = {root.records, root.leaves, walk_region};
    } else if (reg[region::first_child] >= 0) {
      const std::size_t c = region_offset(reg[region::first_child]) / region_stride;
      require_index(count, c + 3);
      const WalkSlot* child = slots.data() + c;
      slots[k] = {0, child[0].leaves + child[1].leaves + child[2].leaves + child[3].leaves,
                  static_cast<std::uint32_t>(c)};
      records[k] = 1 + records[c] + records[c + 1] + records[c + 2] + records[c + 3];
      if (records[k] >= walk_region) {
        fatal("capacity overflow: " + std::to_string(records[k]) +
              " walk records are too many to index with 32 bits");
      }
      slots[k].records = static_cast<std::uint32_t>(records[k]);
      continue;
    } else {
      const std::uint32_t held = reg[region::node] >= 0 ? 1 : 0;
      slots[k] = {held, held, walk_region};
    }
    records[k] = slots[k].records;
  }
}

// The top regions that have a record of their own (regions with children
// and leaves holding a node; a cell's region is the cell's root), by region
// index until they are placed.
std::vector<ShortcutStretch> top_records(const quadtree::BuildScratch& s,
                                         const WalkSlots& slots) {
  std::vector<ShortcutStretch> records;
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const double* reg = s.top.data() + k * region_stride;
    if (s.cell_of[k] < 0 && (reg[region::first_child] >= 0 || reg[region::node] >= 0)) {
      records.push_back({k, k + 1});
    }
  }
  return records;
}

// Slots kept for a cell that this tree has not got, or that has shrunk
// to well below them, are given back (beyond some 96 KB); so are those of a
// cell about to outgrow them, which need not be copied. New slots get the
// cell's headroom. Any other cell gave its slots back when it fell idle, so
// only this tree's cells and the tree before's are looked at.
void release_idle_slots(std::vector<WalkSlots>& cell_slots,
                        const quadtree::BuildScratch& s) {
  constexpr std::size_t idle_slots = std::size_t{1} << 13;
  std::vector<std::size_t> need(s.cells.size(), 0);
  for (const std::uint32_t c : s.cell_order) {
    need[c] = quadtree::expected_regions(s.cells[c]);
  }
  const auto fit = [&](std::size_t c) {
    const std::size_t wanted = c < need.size() ? need[c] : 0;
    if (cell_slots[c].capacity() > quadtree::max_room_factor * wanted + idle_slots ||
        (wanted > 0 && cell_slots[c].capacity() < wanted)) {
      WalkSlots().swap(cell_slots[c]);
      cell_slots[c].reserve(quadtree::with_headroom(wanted));
    }
  };
  for (const std::uint32_t c : s.cell_order) {
    fit(c);
  }
  for (const std::uint32_t c : s.previous_cells) {
    if (c < cell_slots.size()) {
      fit(c);
    }
  }
}

}  // namespace

void bh_prepare_walks_in_cells(StepBuffers& buffers, std::span<const float> nodes,
                               quadtree::BuildScratch& s, const ForEachRange& for_each_cell) {
  const std::size_t node_count = nodes.size() / node_stride;
  if (node_count >= walk_region) {
    fatal("capacity overflow: " + std::to_string(node_count) +
          " nodes are too many to index with 32 bits");
  }
  quadtree::route_to_cells(nodes, s, for_each_cell);
  std::vector<WalkSlots>& cell_slots = buffers.cell_walk_slots;
  if (cell_slots.size() < s.cells.size()) {
    cell_slots.resize(s.cells.size());
  }
  const std::size_t cell_count = s.cell_order.size();
  release_idle_slots(cell_slots, s);
  // Each cell is counted while its regions are still in the cache. The top's
  // masses go first: the root's is one long chain.
  for_each_cell(quadtree::top_mass_parts + cell_count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      if (k < quadtree::top_mass_parts) {
        quadtree::add_top_masses(s, nodes, k);
        continue;
      }
      const std::size_t c = s.cell_order[k - quadtree::top_mass_parts];
      quadtree::build_cell(s.cells[c], s.top, quadtree::Centres::walked_regions);
      count_subtrees(cell_slots[c], s.cells[c].regions);
    }
  });
  WalkSlots& top_slots = buffers.walk_slots;
  count_top(top_slots, s, cell_slots);
  const WalkSlot root = top_slots[0];
  if (root.leaves > node_count) {
    fatal("broken region tree: its leaves hold more nodes than the " +
          std::to_string(node_count) + " there are");
  }
  WalkTree& tree = buffers.walk_tree;
  resize_in_parts(tree.records, root.records, for_each_cell);
  resize_in_parts(tree.skip, root.records, for_each_cell);
  tree.reach.resize(buffers.sized_leaves ? root.records : 0);
  buffers.walk_order.resize(node_count);
  buffers.in_leaf.assign(node_count, 0);
  buffers.regions.clear();
  resize_in_parts(tree.shortcuts, root.records, for_each_cell);
  std::vector<ShortcutStretch> stretches = top_records(s, top_slots);
  place_subtrees(top_slots, tree.skip, 0, 0);
  for (ShortcutStretch& top : stretches) {
    top.begin = top_slots[top.begin].records;  // region index -> its record
    top.end = top.begin + 1;
  }
  write_records(buffers, top_slots, nodes, s.top, 0, top_slots.size());
  const std::size_t tops = stretches.size();
  stretches.resize(tops + cell_count);
  // Each cell's records are marked while they are still in the cache.
  for_each_cell(cell_count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t c = s.cell_order[k];
      const WalkSlot place = top_slots[s.cells[c].top_offset / region_stride];
      WalkSlots& slots = cell_slots[c];
      ShortcutStretch& stretch = stretches[tops + k];
      stretch.begin = place.records;
      stretch.end = place.records + slots[0].records;
      place_subtrees(slots, tree.skip, place.records, place.leaves);
      write_cell_records(buffers, slots, nodes, s.cells[c]);
      mark_shortcuts_in(tree, stretch);
      if (buffers.sized_leaves) {
        mark_reach_in(tree, stretch.begin, stretch.end);
      }
    }
  });
  append_left_out(buffers, s.top, node_count, root.leaves);
  join_shortcuts(tree, stretches);
  if (buffers.sized_leaves) {
    for (const ShortcutStretch& top : stretches) {  // backwards now: children first
      if (!top.marked) {
        mark_reach_in(tree, top.begin, top.end);
      }
    }
  }
}

}  // namespace tallow
