// What the walk of one node and the walks of several at once share: how far
// into the walk tree they may read, and where a walk goes on after opening a
// region whose ratio is not finite.
#pragma once

#include <algorithm>
#include <cstddef>

#include "checked.hpp"
#include "iterate.hpp"

namespace tallow {

// The records a walk may visit: every array it reads covers them (a sized
// walk reads the reaches as well). Skips never point backwards, so a walk
// ends once it passes this bound.
inline std::size_t walkable_records(const WalkTree& tree, bool sized) {
  const std::size_t count =
      std::min({tree.records.size(), tree.skip.size(), tree.shortcuts.size()});
  return sized ? std::min(count, tree.reach.size()) : count;
}

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
