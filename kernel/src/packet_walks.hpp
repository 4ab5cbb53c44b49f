// Barnes-Hut walks of eight nodes at once, in the lanes of one vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "iterate.hpp"

namespace tallow {

// Walks [begin, end) of `order` (the walk order), eight consecutive ones at a
// time: nodes that follow each other in the walk order lie close together
// and mostly open and pass the same regions, so the eight walk the records
// together, each lane deciding for its own node with its own arithmetic and
// taking a force only where its own walk would. A lane whose walk would jump
// (a region at its own point with records there to skip, a dead record)
// finishes alone with bh_node_repulsion_from. With `sized`, the walks with
// node sizes (tree.reach filled). Same bits as one walk per node. Returns
// false, having walked nothing, on a CPU without 512-bit lanes.
bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized);

// Whether this CPU runs the walks in packets.
bool packet_walks_supported();

}  // namespace tallow
