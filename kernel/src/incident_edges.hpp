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
#include "settings.hpp"

namespace tallow {

// An edge as one of its ends lists it: the other end, marked with
// `as_target` when this node is the edge's target.
inline constexpr std::uint32_t as_target = 0x80000000u;

inline constexpr std::size_t group_lanes = 8;

// Nodes are ordered by degree within blocks of this many consecutive ones.
// Threads take whole blocks: within one, the order jumps between records
// that share cache lines.
inline constexpr std::size_t nodes_per_block = 4096;
inline constexpr std::size_t groups_per_block = nodes_per_block / group_lanes;

// Lists beyond this many slots (256 MB, 512 MB with weights), or for more
// than a quarter as many nodes (16.5 bytes each), would take more memory than
// a very large run can spare; such runs keep attraction on one thread.
inline constexpr std::size_t max_incident_slots = std::size_t{1} << 26;
inline constexpr std::size_t max_listed_nodes = max_incident_slots / 4;

// Below this many nodes the edge-order phase runs from the cache on one
// thread about as fast as two threads sum the lists, so no lists are made.
inline constexpr std::size_t min_nodes_listed_attraction = std::size_t{1} << 18;

// Every node's edges in edge order, a self-loop twice (as source, then as
// target). A run's edges never change, so the lists are kept from step to
// step, and made again only for another edge matrix or node count.
struct IncidentEdges {
  std::size_t min_nodes = min_nodes_listed_attraction;  // tests lower it
  std::vector<std::uint32_t> order;   // the nodes, by degree within blocks of neighbours
  std::vector<std::uint32_t> degree;  // per place in `order`: that node's edge count
  // Group g holds order[8g, 8g + 8); its slots start at group_start[g], a
  // step of eight (one a lane, idle lanes padded) at a time.
  std::vector<std::uint32_t> group_start;
  std::vector<std::uint32_t> ends;  // per slot: the other end, with as_target
  std::vector<float> weights;       // per slot; empty when every edge has `weight`
  float weight = 0.0f;
  bool made = false;
  bool usable = false;
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

// Attraction for the nodes of groups [first, end), each summing its listed
// edges in order into its own dx, dy, with the bits of attraction_phase().
// The ends' x and y are read from `positions` (two per node, which no one
// writes meanwhile), so ranges may run at once on different threads while
// each writes only its own records. Usable lists and fitting settings only,
// else fatal.
void attraction_listed(const LayoutSettings& settings, std::span<float> nodes,
                       std::span<const float> positions, const IncidentEdges& lists,
                       std::size_t first, std::size_t end);

}  // namespace tallow
