// The Barnes-Hut region tree of one iteration.
//
// One flat growable f64 array, `region_stride` (9) values per region, slots
// named in `region`. Regions and nodes are referred to by offsets (9 * region
// index, 10 * node index) stored as f64, -1 for none. Region 0 is the root; the
// four children of a region are appended together, in quadrant order, and
// `next` threads the tree in pre-order so a walk needs no stack. Every
// comparison and every mass-centre update is f64, in node insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

namespace tallow {

inline constexpr std::size_t region_stride = 9;

namespace region {
inline constexpr std::size_t node = 0;
inline constexpr std::size_t center_x = 1;
inline constexpr std::size_t center_y = 2;
inline constexpr std::size_t half_size = 3;
inline constexpr std::size_t next = 4;
inline constexpr std::size_t first_child = 5;
inline constexpr std::size_t mass = 6;
inline constexpr std::size_t mass_center_x = 7;
inline constexpr std::size_t mass_center_y = 8;
}  // namespace region

using RegionMatrix = std::vector<double>;

// A stored reference (a non-negative whole number) as an array offset. Values
// beyond any array map to the largest offset, so the next bounds test fails.
inline std::size_t region_offset(double reference) {
  return reference < 0x1p63 ? static_cast<std::size_t>(static_cast<std::int64_t>(reference))
                            : std::numeric_limits<std::size_t>::max();
}

namespace quadtree {

// Builds the region matrix over the nodes' x, y and mass. Reads the node
// matrix only. Cost: O(n log n) for spread-out nodes; at most four splits per
// insertion, so O(n) regions in the worst case. Coincident nodes (or nodes
// below a NaN or zero-sized centre) form chains of up to 4n levels; a node
// entering one jumps to its bottom, and the levels' mass centres are summed up
// afterwards: O(1) per level where the nodes share one point and whole masses,
// else one pass over the nodes that entered after the level's split, shared
// by the four levels of one insertion.
RegionMatrix build(std::span<const float> nodes);

// The same tree, written into `regions` (cleared first) so that a caller that
// builds one tree per iteration reuses the array's capacity.
void build_into(RegionMatrix& regions, std::span<const float> nodes);

// Below this many nodes the cells would be too small to be worth a pass: the
// parallel build is the sequential one.
inline constexpr std::size_t min_nodes_for_cells = 32768;
// Above this many nodes the copy of the regions the join needs (some 200 MB
// a million nodes) would push a run past the memory it may take: the
// parallel build is the sequential one.
inline constexpr std::size_t max_nodes_for_cells = std::size_t{4} << 20;

// Runs body(begin, end) over ranges covering [0, count), possibly at once on
// several threads, and returns when all have run.
using ForEachPart =
    std::function<void(std::size_t count, const std::function<void(std::size_t, std::size_t)>&)>;

// A node reaching a cell of the parallel build: its index, the insertion it
// arrives in (a node held by a region that splits arrives in the splitting
// node's insertion) and the splits that insertion has left.
struct Arrival {
  std::uint32_t node;
  std::uint32_t insertion;
  std::uint32_t splits_left;
};

// One region `cell_depth` levels below the root and the subtree below it,
// built apart from the others with its own region numbering (its root at 0).
struct Cell {
  std::size_t top_offset = 0;  // the cell's region in the top tree
  std::vector<Arrival> arrivals;
  RegionMatrix regions;
  std::vector<std::uint32_t> block_insertion;  // per local split: its insertion,
                                               // then its block in the whole tree
};

// What the parallel build keeps from one tree to the next (capacity only).
struct BuildScratch {
  RegionMatrix top;                          // the regions above the cells
  std::vector<std::uint32_t> top_insertion;  // per top split: its insertion
  std::vector<std::int32_t> cell_of;         // per top region: its cell, or -1
  std::vector<Cell> cells;
  std::vector<std::uint32_t> cell_order;     // cells by falling arrival count
  std::vector<std::uint32_t> first_block;    // per insertion: its first split's block
  std::vector<std::uint64_t> block_owner;    // per block: (cell, local block)
};

// The same tree, bit for bit, with the subtrees of the regions a few levels
// below the root built by `for_each` (at once on several threads when it
// spreads the parts) and then numbered and joined as the sequential build
// numbers them. Every node reaches its cell by the sequential insertion rule;
// each cell receives its nodes in node order, so its regions, their masses
// and their split order are those of the sequential build, and the splits of
// all cells and of the top are numbered by the insertion that made them.
// Holds a copy of the regions while it joins them (73 bytes a region).
void build_into(RegionMatrix& regions, std::span<const float> nodes,
                const ForEachPart& for_each, BuildScratch& scratch);

}  // namespace quadtree
}  // namespace tallow
