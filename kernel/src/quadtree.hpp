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
#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "for_each_range.hpp"
#include "page_allocator.hpp"

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

// malloc'd: a whole tree is built on the calling thread, whose allocator
// gives the next call the memory this one freed (fresh pages cost a
// 5,000-node call some 290 page faults, about a fifth of an iteration).
using RegionMatrix = std::vector<double>;
// A cell's regions are written on worker threads, whose allocators would keep
// the freed arrays: they take the system's pages.
using CellRegions = std::vector<double, PageAllocator<double>>;

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

// Which regions get their masses and mass centres worked out: every one, as
// build() gives them; or those a Barnes-Hut walk can read. A region whose
// opening 4 * half_size^2 is infinite or NaN is opened by every walk and adds
// nothing (its ancestors' openings are no smaller), so chain levels with such
// an opening keep the mass and mass centre of their split. One infinite
// coordinate puts every other node into one chain below such regions, 4n
// levels deep, whose centres would cost a pass over the later nodes each:
// seconds per step at 20,000 nodes, quadratic in the node count.
enum class Centres { every_region, walked_regions };

// The same tree, written into `regions` (cleared first) so that a caller that
// builds one tree per iteration reuses the array's capacity.
void build_into(RegionMatrix& regions, std::span<const float> nodes,
                Centres centres = Centres::every_region);

// Below this many nodes the cells would be too small to be worth a pass:
// the tree is built whole.
inline constexpr std::size_t min_nodes_for_cells = 32768;

// A cell's packed copy of its nodes' x, y and mass.
namespace packed_body {
inline constexpr std::size_t x = 0;
inline constexpr std::size_t y = 1;
inline constexpr std::size_t mass = 2;
inline constexpr std::size_t stride = 3;
}  // namespace packed_body

// A node reaching a cell: its index and the splits its insertion has left (a
// node held by a region that splits arrives with the splitting node).
struct Arrival {
  std::uint32_t node;
  std::uint32_t splits_left;
};

// One region a few levels below the root and the subtree below it, built
// apart from the others with its own region numbering (its root at 0). Its
// leaves name their nodes by their offset among the packed bodies, not in
// the node matrix.
struct Cell {
  std::size_t top_offset = 0;  // the cell's region in the top tree
  std::size_t depth = 0;       // its levels below the root
  std::size_t path = 0;        // the quadrants taken from the root, two bits each
  std::vector<Arrival, UnwrittenPageAllocator<Arrival>> arrivals;
  std::vector<float, UnwrittenPageAllocator<float>> bodies;  // the arrivals' x, y and mass, packed
  CellRegions regions;
  // Elements of `regions` whose pages may be held: what a build wrote, or
  // kept, since pages were last given back. Spares a system call for every
  // cell whose tree stayed within its room.
  std::size_t regions_touched = 0;
};

// Cells lie at most this many levels below the root.
inline constexpr std::size_t max_route_levels = 7;

// The top regions a route to a cell passes, root first (offsets into the top).
struct RouteRegions {
  std::array<std::uint32_t, max_route_levels> offsets{};
  std::size_t count = 0;
};

// The region tree in parts: the regions above the cells (the top, where a
// cell's region stands for the cell's own root) and every cell's subtree.
// Kept from one tree to the next for the capacity of its arrays.
struct BuildScratch {
  std::size_t cell_depth = 0;  // levels below the root of the cells; 0 chooses by node count
  RegionMatrix top;
  std::vector<std::int32_t> cell_of;  // per top region: its cell, or -1
  std::vector<Cell> cells;            // numbered by their depth and path from the root
  std::vector<std::uint8_t> deeper;   // per cell number: split further in the next tree
  std::vector<std::uint32_t> cell_order;  // this tree's cells by falling arrival count
  // The tree before's cells: only they can hold more than an idle cell keeps.
  std::vector<std::uint32_t> previous_cells;
  // Each node's route to its cell, until the top has the masses it adds.
  std::vector<std::uint16_t> codes;             // per node: its quadrants down to the deepest cells
  std::vector<std::int32_t> cell_of_code;       // per quadrant code: its cell, or -1
  std::vector<RouteRegions> route_regions;      // per cell number, then per slow route
  std::vector<std::pair<std::size_t, std::size_t>> slow_routes;  // node, route; then past the end
  // Arrivals made by slow routes, each at the node whose route made it.
  struct SlowArrival {
    std::size_t at;
    std::uint32_t cell;
    Arrival arrival;
  };
  std::vector<SlowArrival> slow_arrivals;
  std::vector<std::uint32_t> rank_of_cell;  // per cell number: its place in cell_order
  // Per part of the nodes and cell: its arrivals, then where they go.
  std::vector<std::uint32_t> arrival_counts;
};

// The first half of the tree in cells: builds the top, in node order as
// build() would, and hands every node that passes it to its cell in node
// order, so that build_cell() then gives each cell the regions, masses and
// mass centres of the same subtree of build(), numbered from the cell's root.
// The box and every node's quadrants are worked out in parts by
// `for_each_part`; the top's masses are left to add_top_masses(). Node counts
// must fit 32-bit indices, else fatal.
void route_to_cells(std::span<const float> nodes, BuildScratch& scratch,
                    const ForEachRange& for_each_part);

// What route_to_cells() leaves out: the masses the nodes add to the top
// regions they pass, each region taking them in node order. Part 0 adds them
// to the root, part 1 to the levels below; the two parts touch different
// regions and nothing a cell's build reads, so they may run at once with each
// other and with build_cell().
inline constexpr std::size_t top_mass_parts = 2;
void add_top_masses(BuildScratch& scratch, std::span<const float> nodes, std::size_t part);

// What a cell may keep beyond max_room_factor times the room it needs (some
// 128 KB), and the room reserved for it: twice as much, so that a cell
// gaining nodes keeps its array. Reserved room takes no pages until it is
// written.
inline constexpr std::size_t max_idle_room = std::size_t{1} << 14;
inline constexpr std::size_t max_room_factor = 4;
inline std::size_t with_headroom(std::size_t room) { return 2 * room; }

// The regions a build makes room for: spread-out nodes make about three each.
inline std::size_t expected_regions(std::size_t nodes) { return 1 + 3 * nodes; }
inline std::size_t expected_regions(const Cell& cell) {
  return expected_regions(cell.arrivals.size());
}

// The second half, one cell: cells share nothing, so different cells may be
// built at once on different threads.
void build_cell(Cell& cell, const RegionMatrix& top, Centres centres = Centres::every_region);

}  // namespace quadtree
}  // namespace tallow
