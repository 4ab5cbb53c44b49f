// Mutual best-neighbour matching: which nodes of a level merge into one.
//
// Works on the compressed rows of communities.hpp. An edge's score is
// w / (mass_u * mass_v), which prefers strongly tied, light nodes and so keeps
// merged masses even. Equal scores are broken by a hash of the seed and the
// edge, so the groups depend on the input and the seed only. Single-threaded.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "communities.hpp"

namespace tallow {

// The group of every node (a node index, the smaller of a matched pair).
//
// Rounds of matching pair the nodes that are each other's best free
// neighbour; later rounds see only the nodes earlier ones left single. With a
// non-empty `label` (one per node) only nodes of equal label pair up. A node
// left single whose first choice was matched joins that choice's group, so the
// leaves of a star collapse into their hub instead of stalling the
// coarsening. `mass` holds one positive mass per node. Cost: O(ends) a round.
std::vector<std::uint32_t> matched_groups(const WeightedRows& rows, std::span<const double> mass,
                                          std::span<const std::uint32_t> label,
                                          std::uint64_t seed, std::uint32_t rounds);

}  // namespace tallow
