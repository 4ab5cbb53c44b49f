// The force phases and the sequential ForceAtlas2 iteration step.
//
// Every phase reads the f32 node matrix widened to f64, computes in f64 and
// rounds to f32 after every single contribution it stores into `dx`/`dy`, so
// the visiting orders written beside each phase are part of the results.
// Phases only add into the force slots; force application alone moves nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "for_each_range.hpp"
#include "incident_edges.hpp"
#include "matrices.hpp"
#include "page_allocator.hpp"
#include "quadtree.hpp"
#include "settings.hpp"

namespace tallow {

// What a Barnes-Hut walk reads of every node, widened exactly to f64:
// x, y and mass, `snapshot_stride` values per node in node order.
inline constexpr std::size_t snapshot_stride = 3;
namespace snapshot_slot {
inline constexpr std::size_t x = 0;
inline constexpr std::size_t y = 1;
inline constexpr std::size_t mass = 2;
}  // namespace snapshot_slot
using NodeSnapshot = std::vector<double>;

// The region tree rewritten for the Barnes-Hut walks: the regions with
// children and the leaves that hold a node, in the pre-order of the tree, so
// that opening a region is a step to the next record and `skip` jumps past
// its subtree. A leaf record carries its node's x, y and mass (widened exactly
// from f32), so a walk reads nothing else. Empty leaves add no force and are
// left out. Walking it gives the same bits as walking the region matrix.
// Aligned to its size, so that no record straddles two cache lines.
struct alignas(32) WalkRecord {
  double x;        // mass centre of a region, position of a leaf's node
  double y;
  double mass;     // region mass, or the leaf node's mass
  double opening;  // 4 * half_size * half_size of a region (>= 0 or NaN);
                   // -(node index + 1) for a leaf
};
static_assert(sizeof(WalkRecord) == 32, "two records to a cache line");
// Where a walk may jump from a record whose ratio is not finite (a region at
// the node's own point, or one whose opening or mass centre is infinite or
// NaN). Such a region is opened and adds nothing; so do its subtree's records
// at the node's point and every "dead" record: a region whose opening is
// infinite or NaN or whose mass centre has a NaN, a leaf whose node has a NaN.
// Coincident or NaN nodes pile up in chains of such records, which the walks
// would otherwise step through one by one.
struct WalkShortcut {
  std::uint32_t next_live;   // the first record after this one that is not dead
  std::uint32_t same_point;  // a record at the one point of every live record of
                             // the subtree, or walk_all_dead / walk_mixed
};
// Records of 32 bytes, two to a cache line; `skip` is read only when a region
// stands for its subtree and `shortcuts` only when a ratio is not finite, so
// they live apart.
// Arrays sized without being written, then written part by part (see
// resize_in_parts): a million nodes' walk tree takes some 70 MB. They are
// malloc'd, not fresh pages: they are sized on the calling thread, whose
// allocator gives the next call the memory this one freed, and a small
// graph's calls paid page faults for them every time.
struct WalkTree {
  UnwrittenArray<WalkRecord> records;
  // per record: the record after its subtree
  UnwrittenArray<std::uint32_t> skip;
  UnwrittenArray<WalkShortcut> shortcuts;
  // Per record, for walks with sizes only (else empty, so the records of the
  // plain walk keep their 32 bytes): a leaf's node size; for a region, a
  // radius around its mass centre within which lies every leaf node's disc
  // (its position +- its size) of its subtree, NaN when one is NaN.
  std::vector<double> reach;
};
// Node and region counts must stay below this for 32-bit walk indices.
inline constexpr std::uint32_t walk_region = 0xFFFFFFFF;
inline constexpr std::uint32_t walk_mixed = 0xFFFFFFFF;     // live records at several points
inline constexpr std::uint32_t walk_all_dead = 0xFFFFFFFE;  // no live record in the subtree
// A leaf's node index from its record's `opening`.
inline std::uint32_t walk_leaf_node(const WalkRecord& record) {
  return static_cast<std::uint32_t>(-record.opening - 1.0);
}

// What the walk-tree build keeps per region: first the counts of its subtree,
// then where its records go.
struct WalkSlot {
  std::uint32_t records;  // records in the subtree, then the region's record position
  std::uint32_t leaves;   // leaf records in the subtree, then the walk-order rank of the first
  std::uint32_t child;    // region index of the first child, or walk_region for a leaf
};

// Cells' slots are resized on worker threads: their pages go straight back.
using WalkSlots = std::vector<WalkSlot, PageAllocator<WalkSlot>>;

// The scratch arrays of one step. A run keeps them from step to step so that
// each step reuses their capacity instead of allocating afresh; their contents
// never carry over (each step rebuilds them), so reuse cannot change a bit.
// The edge lists are the exception, and they only say where edges are.
struct StepBuffers {
  // The one member that is not scratch: how the run's Barnes-Hut walks treat
  // node sizes, set by the run's owner before the run. With it, two nodes that
  // meet in a leaf have their distance reduced by both sizes as in the exact
  // mode with adjustSizes (overlapping nodes push 100 times harder), and a
  // region stands for its subtree only when, besides passing the opening
  // test, none of its nodes can overlap the walking one, so no overlap hides
  // in a far-field body; regions that do stand for their subtree keep the
  // plain force. Without it, sizes are never read and the walks cost what
  // they always did. Owners set it only with adjustSizes.
  bool sized_leaves = false;
  RegionMatrix regions;
  NodeSnapshot snapshot;
  std::vector<std::uint32_t> walk_order;
  WalkTree walk_tree;
  WalkSlots walk_slots;
  std::vector<WalkSlots> cell_walk_slots;  // per cell, for a tree built in cells
  std::vector<std::uint8_t> in_leaf;  // per node: held by a leaf
  std::vector<double> node_sizes;     // sized walks over the region matrix: per node
  std::vector<double> region_reach;   // and per region, as WalkTree::reach
  std::vector<float> packed_nodes;    // attraction's packed slots
  ListedValues listed_values;         // attraction on the pool: by place in the lists
  // Not scratch either: each node's edges, made at a run's first step on the
  // pool and kept, since a run's edges never change. Another edge matrix is
  // recognised by its address, length and node count and listed anew; an
  // owner that rewrites edges in place between runs must use new buffers.
  IncidentEdges incident_edges;
  // Set by an owner that lets the edge matrix go once attraction reads the
  // lists instead (as much memory as the lists take, or more): called once,
  // right after usable lists are made. From then on these buffers' steps
  // read only the lists, whatever edges they are given, and a step that
  // would need the edge matrix is a fatal error.
  std::function<void()> release_edges;
};

// The whole range at once on the calling thread.
void on_calling_thread(std::size_t count, const RangeBody& body);

// Fills `snapshot` from the node matrix (resized to snapshot_stride per node).
void take_snapshot(NodeSnapshot& snapshot, std::span<const float> nodes);
// Fills `sizes` with every node's size, widened exactly, in node order.
void take_sizes(std::vector<double>& sizes, std::span<const float> nodes);

// Every node exactly once: first the nodes held by the tree's leaves in
// pre-order (so consecutive walks touch the same regions), then the nodes the
// tree left out, in index order. Walks are independent, so any order gives the
// same bits; this one is the cache-friendly one.
void bh_walk_order(std::vector<std::uint32_t>& order, std::span<const double> regions,
                   std::size_t node_count);

// Fills tree.shortcuts from its records and skips: one backward pass.
void bh_mark_shortcuts(WalkTree& tree);

// Fills the regions' entries of tree.reach from its records, skips and the
// leaves' entries (their sizes): one backward pass.
void bh_mark_reach(WalkTree& tree);

// The same radii per region of the region matrix (region index order; a leaf:
// its node's size, an empty leaf: unused), from the node snapshot and every
// node's size.
void bh_region_reach(std::vector<double>& reach, std::span<const double> regions,
                     std::span<const double> snapshot, std::span<const double> sizes);

// Fills buffers.walk_tree from `regions` and the nodes' x, y, mass (and with
// buffers.sized_leaves their sizes and the reaches), and buffers.walk_order
// with the same order as bh_walk_order: two short linear passes over the
// regions on the calling thread, then the records written by `for_each` (any
// split gives the same tree), then backward passes over the records. No
// allocation once the buffers have grown. Node and region counts must fit 32-bit indices
// (bh_walk_tree_fits), else fatal.
void bh_prepare_walks(StepBuffers& buffers, std::span<const float> nodes,
                      std::span<const double> regions,
                      const ForEachRange& for_each = on_calling_thread);
bool bh_walk_tree_fits(std::size_t node_count, std::span<const double> regions);

// The walk tree and walk order bh_prepare_walks() gives over the tree of
// quadtree::build(), bit for bit, from the tree built in cells instead
// (quadtree::route_to_cells): `for_each_cell` builds the cells' subtrees,
// largest first, and writes their records, possibly at once on several
// threads. No whole region matrix is built (buffers.regions is left empty).
// Node and record counts must fit 32-bit indices, else fatal.
void bh_prepare_walks_in_cells(StepBuffers& buffers, std::span<const float> nodes,
                               quadtree::BuildScratch& cells, const ForEachRange& for_each_cell);

// Prepares the Barnes-Hut walks of one step over `regions` (the walk tree and
// walk order, or, beyond 32-bit indices, the node snapshot and, with
// buffers.sized_leaves, node_sizes and region_reach) and returns how many walks there are: one
// per node.
std::size_t bh_prepare_step_walks(StepBuffers& buffers, std::span<const float> nodes,
                                  std::span<const double> regions,
                                  const ForEachRange& for_each = on_calling_thread);

// Runs walks [begin, end) of those prepared in `buffers`, with sizes at the
// leaves when buffers.sized_leaves is set. Each walk writes only its own
// node's dx and dy and reads only `buffers` and `regions`, so disjoint ranges
// may run at once on different threads and in any order, same bits.
void bh_run_walks(const LayoutSettings& settings, std::span<float> nodes,
                  std::span<const double> regions, const StepBuffers& buffers,
                  std::size_t begin, std::size_t end);

// Repulsion between every pair of nodes: exact (i from 1 up, j below i, both
// nodes updated, i first) or, with barnesHutOptimize, one Barnes-Hut walk per
// node over `regions`. Writes only dx and dy.
void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions);
void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions, StepBuffers& buffers);

// The Barnes-Hut repulsion on one node. `node` is the node's own record (its
// dx, dy are the only values written), `key` its base offset (10 * index),
// `snapshot` the other nodes' x, y, mass. Reads nothing another node's call
// writes, so calls for different nodes may run at once on different threads.
void bh_node_repulsion(const LayoutSettings& settings, std::span<float, node_stride> node,
                       std::size_t key, std::span<const double> snapshot,
                       std::span<const double> regions, double coefficient, double theta2);

// The same walk over the walk tree, bit for bit, about twice as fast: `index`
// is the node's index. Safe to run for different nodes at once.
void bh_node_repulsion(std::span<float, node_stride> node, std::uint32_t index,
                       const WalkTree& tree, double coefficient, double theta2);

// Both walks with sizes: a node met in a leaf, at distance dist, gives d =
// dist - own size - its size; d > 0: f = (coefficient * m) * M / d / d;
// d < 0 (overlap): f = ((coefficient * 100) * m) * M; d = 0 or NaN, or dist =
// 0: nothing. A region that passes the opening test is opened all the same
// unless d2 > (own size + its reach)^2; one that stands for its subtree
// repels as in the plain walk. The node's own size is its `size` slot; the
// others' sizes and the reaches come from `sizes` (per node) and
// `region_reach` (per region), or from tree.reach.
void bh_node_repulsion_sized(std::span<float, node_stride> node, std::size_t key,
                             std::span<const double> snapshot, std::span<const double> sizes,
                             std::span<const double> region_reach,
                             std::span<const double> regions, double coefficient, double theta2);
void bh_node_repulsion_sized(std::span<float, node_stride> node, std::uint32_t index,
                             const WalkTree& tree, double coefficient, double theta2);

// The rest of bh_node_repulsion's walk over the walk tree (with `sized`,
// bh_node_repulsion_sized's) from record `start` on, the node's dx and dy
// holding its force so far: a walk is its record and its force, so it may
// stop anywhere and go on here.
void bh_node_repulsion_from(std::span<float, node_stride> node, std::uint32_t index,
                            const WalkTree& tree, double coefficient, double theta2,
                            std::size_t start, bool sized);

// Repulsion between every pair of nodes, with node sizes when adjustSizes is
// set: i from 1 up, j below i, both nodes updated, i first. Writes only dx, dy.
void exact_repulsion(const LayoutSettings& settings, std::span<float> nodes);

// Gravity toward the origin, every node in node order.
void gravity_phase(const LayoutSettings& settings, std::span<float> nodes);

// Attraction along every edge in edge order; `compensation` is the mean mass
// with outboundAttractionDistribution, else unused.
void attraction_phase(const LayoutSettings& settings, std::span<float> nodes,
                      std::span<const EdgeRecord> edges, double compensation);

// The same phase, same bits, over a packed copy of the slots it reads and
// writes (x, y, dx, dy: `packed_stride` floats a node, kept in `packed`), so
// that the records the edges jump between take a quarter of the bytes: pack
// every node, attraction_packed, unpack every node. Packing and unpacking
// touch only the nodes of their range, so ranges may run on different threads.
inline constexpr std::size_t packed_stride = 4;
// Below this many nodes the node matrix stays in the cache as it is: the
// steps use the plain phase and hold no packed copy.
inline constexpr std::size_t min_nodes_packed_attraction = std::size_t{1} << 18;
static_assert(slot::x < packed_stride && slot::y < packed_stride && slot::dx < packed_stride &&
              slot::dy < packed_stride);
void attraction_phase(const LayoutSettings& settings, std::span<float> nodes,
                      std::span<const EdgeRecord> edges, double compensation,
                      std::vector<float>& packed);
void pack_attraction_slots(std::vector<float>& packed, std::span<const float> nodes,
                           std::size_t first, std::size_t end);
void attraction_packed(const LayoutSettings& settings, std::span<const float> nodes,
                       std::span<const EdgeRecord> edges, double compensation,
                       std::span<float> packed);
void unpack_attraction_forces(std::span<float> nodes, std::span<const float> packed,
                              std::size_t first, std::size_t end);

// Moves every node that is not fixed by its own adaptive step.
void apply_forces_phase(const LayoutSettings& settings, std::span<float> nodes);

// The start of every step, shared by the sequential and the parallel step:
// old force <- force, force <- 0 for every node; returns the outbound-attraction
// compensation (sum of masses / node count, or +0.0 when the setting is off).
double prepare_step(const LayoutSettings& settings, std::span<float> nodes);
// That compensation alone: masses never change within a run, so it is the
// same at every step. Reads no mass when the setting is off.
double attraction_compensation(const LayoutSettings& settings, std::span<const float> nodes);

// One whole sequential iteration: prepare, region tree (Barnes-Hut only),
// repulsion, gravity, attraction, force application.
void iterate(const LayoutSettings& settings, std::span<float> nodes,
             std::span<const EdgeRecord> edges);
void iterate(const LayoutSettings& settings, std::span<float> nodes,
             std::span<const EdgeRecord> edges, StepBuffers& buffers);

// The step after repulsion, on the calling thread: gravity, attraction and
// force application.
void finish_step(const LayoutSettings& settings, std::span<float> nodes,
                 std::span<const EdgeRecord> edges, double compensation, StepBuffers& buffers);

}  // namespace tallow
