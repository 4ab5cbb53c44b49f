// Barnes-Hut walks of eight nodes at once, in vector lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "iterate.hpp"

namespace tallow {

// The vector lanes a packet walks in: none (one walk per node), eight in two
// 256-bit registers, eight in one 512-bit register.
enum class PacketLanes { none, avx2, avx512 };

// The widest this CPU has.
PacketLanes widest_packet_lanes();

// Walks [begin, end) of `order` (the walk order), eight consecutive ones at a
// time: nodes that follow each other in the walk order lie close together
// and mostly open and pass the same regions, so the eight walk the records
// together, each lane deciding for its own node with its own arithmetic and
// taking a force only where its own walk would. A lane whose walk would jump
// (a region at its own point with records there to skip, a dead record)
// finishes alone with bh_node_repulsion_from. With `sized`, the walks with
// node sizes (tree.reach filled). Same bits as one walk per node, in either
// kind of lanes. Returns false, having walked nothing, for PacketLanes::none;
// lanes this CPU lacks are fatal.
bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized,
                         PacketLanes lanes);
// The same in the widest lanes this CPU has.
bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized);

}  // namespace tallow
