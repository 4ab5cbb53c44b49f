// Attraction summed node by node, from lists of each node's edges.
//
// What attraction gives a node depends only on its edges, taken in edge
// order, and on their ends' positions; not on which thread adds them up. So
// the edges are listed per node once per run, and on the pool every node sums
// its own edges' pulls: each edge's force is computed at both of its ends
// with exactly the operations of the edge-order phase, and no two threads
// ever write the same record.
//
// The nodes are summed eight at a time in vector lanes, so the lists are
// laid out for that: nodes in groups of eight of about the same degree, and
// each group's edges step by step, the eight lanes' j-th edges side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "for_each_range.hpp"
#include "matrices.hpp"
#include "page_allocator.hpp"
#include "settings.hpp"

namespace tallow {

// An edge as one of its ends lists it: the other end's place (see
// IncidentEdges::order), marked with `as_target` when this node is the
// edge's target.
inline constexpr std::uint32_t as_target = 0x80000000u;

inline constexpr std::size_t group_lanes = 8;

// Nodes are ordered by degree within blocks of this many consecutive ones.
// Threads take whole blocks: within one, the order jumps between records
// that share cache lines.
inline constexpr std::size_t nodes_per_block = 4096;
inline constexpr std::size_t groups_per_block = nodes_per_block / group_lanes;

// Lists beyond this many slots (256 MB, 512 MB with weights), or for more
// than a quarter as many nodes (28.5 bytes each), would take more memory than
// a very large run can spare; such runs keep attraction on one thread.
inline constexpr std::size_t max_incident_slots = std::size_t{1} << 26;
inline constexpr std::size_t max_listed_nodes = max_incident_slots / 4;

// Below this many nodes the lists are not made: a run's first step makes
// them (about a millisecond at 10,000 nodes on one thread), which a short run
// of a small graph would not earn back.
inline constexpr std::size_t min_nodes_listed_attraction = std::size_t{1} << 14;

// Every node's edges in edge order, a self-loop twice (as source, then as
// target). A run's edges never change, so the lists are kept from step to
// step, and made again only for another edge matrix or node count.
struct IncidentEdges {
  std::size_t min_nodes = min_nodes_listed_attraction;  // tests lower it
  // Each written whole, block by block on the pool, so not zeroed on resize.
  UnwrittenArray<std::uint32_t> order;   // per place: a node, by degree within blocks of neighbours
  UnwrittenArray<std::uint32_t> place;   // per node: its place in `order`
  UnwrittenArray<std::uint32_t> degree;  // per place: that node's edge count
  // Group g holds order[8g, 8g + 8); its slots start at group_start[g], a
  // step of eight (one a lane, idle lanes padded) at a time.
  std::vector<std::uint32_t> group_start;
  // Per slot: the other end's place, with as_target; and its weight, unless
  // every edge has `weight`. Written on the pool, so not zeroed on resize.
  std::vector<std::uint32_t, UnwrittenPageAllocator<std::uint32_t>> ends;
  std::vector<float, UnwrittenPageAllocator<float>> weights;
  float weight = 0.0f;
  bool made = false;
  bool usable = false;
  bool edges_released = false;  // the lists stand for the edges (StepBuffers::release_edges)
  const EdgeRecord* made_from = nullptr;
  std::size_t edge_count = 0;
  std::size_t node_count = 0;
  std::size_t groups() const { return group_start.empty() ? 0 : group_start.size() - 1; }
};

// Makes the lists for `edges` over `node_count` nodes unless `lists` already
// hold them, and says whether they can be used: not when an end lies outside
// the nodes (the edge-order phase reports it), nor beyond max_listed_nodes
// nodes or max_incident_slots slots. The work is handed out in parts by
// `for_each`; any split gives the same lists.
bool list_incident_edges(IncidentEdges& lists, std::span<const EdgeRecord> edges,
                         std::size_t node_count, const ForEachRange& for_each);

// Whether attraction_listed() takes these settings on this CPU: plain
// attraction (no linLog, sizes or outbound distribution), weights to the
// power 0, 1 or 2, and AVX-512, in whose lanes it runs. Elsewhere computing
// each edge at both ends would cost more than the second thread gives.
bool listed_attraction_fits(const LayoutSettings& settings);

// One step's values in place order, so that a group's eight nodes lie side
// by side: every node's x, y (read by every thread) and its force, summed by
// the thread that takes its group. The lists' owner sizes them once per run;
// each step writes them whole on the pool before it reads them.
struct ListedValues {
  UnwrittenArray<float> positions;  // x, y per place
  UnwrittenArray<float> dx;         // per place
  UnwrittenArray<float> dy;
  void resize(std::size_t node_count);
};

// Copy the positions, or the forces so far, of nodes [first, end) to their
// places. Ranges of nodes may be copied at once on different threads.
void gather_listed_positions(const IncidentEdges& lists, std::span<const float> nodes,
                             ListedValues& values, std::size_t first, std::size_t end);
void gather_listed_forces(const IncidentEdges& lists, std::span<const float> nodes,
                          ListedValues& values, std::size_t first, std::size_t end);

// Attraction for the nodes of groups [first, end), each summing its listed
// edges in order into its own force in `values`, with the bits of
// attraction_phase(). The ends' positions are read from `values`, which no
// one writes meanwhile, so ranges may run at once on different threads.
// Usable lists and fitting settings only, else fatal.
void attraction_listed(const LayoutSettings& settings, const IncidentEdges& lists,
                       ListedValues& values, std::size_t first, std::size_t end);

// Writes the summed forces of nodes [first, end) back to their records.
void scatter_listed_forces(const IncidentEdges& lists, const ListedValues& values,
                           std::span<float> nodes, std::size_t first, std::size_t end);

}  // namespace tallow
