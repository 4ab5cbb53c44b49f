// The multilevel layout's hierarchy: coarser and coarser graphs, each node of
// one the merger of a few nodes of the graph before it.
//
// Merging follows Louvain communities of the input graph while it can
// (communities.hpp), matching only nodes of one community (matching.hpp):
// merging two neighbours of different communities puts them at one point,
// and ForceAtlas2's few refinement iterations cannot pull them apart again
// (blind matching mixed a quarter of the nodes of planted-partition graphs
// after one level, half after two). Once that stalls every community
// becomes one node and matching crosses them. The graphs stay in compressed rows from level to level, so a level
// costs a few passes over its edges and no conversion. Single-threaded; the
// levels depend on the input and the seed only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "communities.hpp"

namespace tallow {

struct HierarchyOptions {
  // Above 1, modularity prefers smaller communities. A community split in two
  // costs the layout nothing (the halves still merge once matching crosses
  // communities), two merged ones cost mixed nodes: at 100,000 planted nodes
  // resolution 1 merged planted communities (purity 0.65), 2 kept them (0.95).
  CommunityOptions communities{.resolution = 2.0};
  // Coarsening stops at this many nodes or fewer.
  std::uint32_t coarsest_nodes = 300;
  // Rounds of mutual best-neighbour matching per level; later rounds match
  // only nodes the earlier ones left single.
  std::uint32_t matching_rounds = 3;
  // A level keeping more than this share of the nodes before it counts as
  // stalled: the graph has too few edges left to merge along.
  double min_reduction = 0.9;
};

struct CoarseLevel {
  // For each node of the next finer level, the node of this one it became.
  std::vector<std::uint32_t> parent;
  WeightedRows rows;  // neighbours sorted in every row
  // Sum of the members' masses, in finer node order.
  std::vector<double> mass;
};

// The levels after `finest` (whose `mass` holds one positive mass per node),
// finest first. Cost: O(ends) per level; levels shrink geometrically.
std::vector<CoarseLevel> build_hierarchy(const WeightedRows& finest, std::span<const double> mass,
                                         const HierarchyOptions& options, std::uint64_t seed);

}  // namespace tallow
