// Where a Barnes-Hut walk goes on after opening a region whose ratio is not
// finite, shared by the walk of one node and the walks of several at once.
#pragma once

#include <cstddef>

#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {

// Past the whole subtree of region r when all its live records lie at the
// node's own point (each d2 is 0 or NaN there, so every region is opened and
// nothing is added), else to the next live record (the dead ones between add
// nothing). Always inlined: with two kinds of walk the compiler would call
// it, and keeping the walk's locals across that call costs 5 % more
// instructions per plain walk.
[[gnu::always_inline]] inline std::size_t past_opened_region(const WalkTree& tree, std::size_t r,
                                                             double x, double y) {
  const WalkShortcut shortcut = tree.shortcuts[r];
  if (shortcut.same_point == walk_all_dead) {
    return tree.skip[r];
  }
  if (shortcut.same_point != walk_mixed) {
    const WalkRecord& point = at(tree.records, shortcut.same_point);
    if (point.x == x && point.y == y) {
      return tree.skip[r];
    }
  }
  return shortcut.next_live;
}

}  // namespace tallow
