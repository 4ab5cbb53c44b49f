// Exact repulsion cut into tiles of the pair triangle that several threads
// take at once, each waiting only for the tiles before it on its nodes (the
// order rule is in exact_repulsion.cpp). Same bits as exact_repulsion().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exact_lanes.hpp"
#include "settings.hpp"
#include "team_barrier.hpp"

namespace tallow {

class ExactTiles {
 public:
  // Whole node records only (checked). With `rotates`, the first tile to
  // touch a block of nodes first rotates their forces, as a step does
  // before its repulsion.
  ExactTiles(const LayoutSettings& settings, std::span<float> nodes, bool rotates);

  // Takes tiles of this pass and runs them until none is left. Returns false
  // if `team` was stopped while this thread waited for another's tile.
  bool run(const TeamBarrier* team = nullptr);

  // Hands every tile out again for the next step's pass. Only while no
  // thread runs tiles, and seen by them through a barrier or a loop's start.
  void rewind();

 private:
  struct Tile {
    std::size_t row_block;
    std::size_t column_block;
  };
  template <bool with_sizes>
  bool run_tiles(const TeamBarrier* team);
  std::size_t block_start(std::size_t block) const;
  bool wait_for(std::size_t tile_index, const TeamBarrier* team) const;

  const LayoutSettings& settings_;
  float* nodes_;
  std::size_t count_;
  bool rotates_;
  ExactLanes lanes_;
  std::size_t blocks_;
  std::vector<Tile> tiles_;  // in anti-diagonal order
  // Per tile (I * blocks + J): the last pass that finished it. A release
  // store publishes the tile's writes to whoever acquires the new value.
  std::vector<std::atomic<std::uint64_t>> finished_;
  std::atomic<std::size_t> next_tile_{0};
  std::uint64_t pass_ = 1;
};

}  // namespace tallow
