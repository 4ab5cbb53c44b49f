// The passes that turn a region matrix into walk records, shared by the walk
// tree of a whole region matrix and the walk tree of a tree built in cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "iterate.hpp"

namespace tallow {

// Backwards, children before parents: how many records and leaf records each
// subtree of `regions` holds, and where each region's children are.
void count_subtrees(WalkSlots& slots, std::span<const double> regions);

// Forwards, parents before children: turns the counts into each region's
// record position and the walk-order rank of its first leaf, the root's
// given, and writes the skip of every region with children. A slot without
// children (a leaf, or a part placed on its own) is placed, not entered.
void place_subtrees(std::span<WalkSlot> slots, decltype(WalkTree::skip)& skip,
                    std::uint32_t root_record, std::uint32_t root_rank);

// Writes the records of regions [begin, end) at their places, and each leaf's
// node at its rank in the walk order, flagging it in buffers.in_leaf. Every
// region writes only its own record, skip and rank, so ranges (and separate
// region matrices placed apart) may be written at once on different threads.
void write_records(StepBuffers& buffers, std::span<const WalkSlot> slots,
                   std::span<const float> nodes, std::span<const double> regions,
                   std::size_t begin, std::size_t end);

// write_records() over a whole cell, whose leaves name their nodes by their
// place among the cell's packed bodies.
void write_cell_records(StepBuffers& buffers, std::span<const WalkSlot> slots,
                        std::span<const float> nodes, const quadtree::Cell& cell);

// After the `leaves` leaves' nodes, the nodes no leaf holds, by index. Each
// leaf flags one node, so fewer flags than leaves mean a node held twice:
// fatal, naming the node when a leaf walk over `regions` finds it.
void append_left_out(StepBuffers& buffers, std::span<const double> regions,
                     std::size_t node_count, std::size_t leaves);

// bh_mark_reach over records [begin, end): a subtree's records lie after its
// root, so a stretch holding whole subtrees is marked on its own.
void mark_reach_in(WalkTree& tree, std::size_t begin, std::size_t end);

// A stretch of walk records for the shortcut pass: a cell's subtree, marked on
// its own and possibly at once with the others (mark_shortcuts_in), or a few
// records left to the join. A marked stretch keeps its first live record
// (walk_all_dead for none) and where the run of live records sharing that
// record's point ends (`end` if it reaches the stretch's end).
struct ShortcutStretch {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool marked = false;
  std::uint32_t first_live = walk_all_dead;
  std::size_t run_end = 0;
};

// bh_mark_shortcuts over a stretch of whole subtrees, as if nothing followed
// it. tree.shortcuts must have its size.
void mark_shortcuts_in(WalkTree& tree, ShortcutStretch& stretch);

// Completes bh_mark_shortcuts from stretches covering every record once:
// marks the unmarked ones and mends the marked ones' ends, backwards.
void join_shortcuts(WalkTree& tree, std::vector<ShortcutStretch>& stretches);

}  // namespace tallow
