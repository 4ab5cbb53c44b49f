// The per-node phases of a parallel step, spread over the worker pool.
//
// What a node receives, and in which order, is fixed; which thread computes
// it is not. Force-slot rotation and force application touch only the node's
// own record. Gravity and attraction are split by node ranges ("parts"): the
// task of a part first adds gravity to each of its nodes, then scans every
// edge in edge order and adds the edges that end at one of its nodes, source
// end before target end, so each node sums its contributions in exactly the
// sequential order. An edge between two parts is computed by both, with the
// same operations, so both ends get the bits of the sequential phase. Every
// task writes only its own nodes' slots and reads the edges' ends from a
// compact copy of positions, sizes and masses, so no task reads a cache line
// that another one writes. Cost: every part scans the edge list once
// (sequential reads); the copy takes 16 bytes a node.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow {

class WorkerPool;

// Below this many nodes the per-node phases stay on the calling thread:
// waking the workers would cost more than they save.
inline constexpr std::size_t min_nodes_on_pool = 8192;

// Force application of nodes [first, end), in node order.
void apply_forces_range(const LayoutSettings& settings, std::span<float> nodes,
                        std::size_t first, std::size_t end);

// Gravity, then attraction, for the nodes [first, end) only, reading the
// edges' ends from `ends` (x, y, size, mass per node, copied from the node
// matrix); `check_all_ends` makes this part also test the ends of every edge,
// which one part per step must do so that a bad edge is never skipped.
void gravity_and_attraction_part(const LayoutSettings& settings, std::span<float> nodes,
                                 std::span<const float> ends,
                                 std::span<const EdgeRecord> edges, double compensation,
                                 std::size_t first, std::size_t end, bool check_all_ends);

// The start of a step (rotation and compensation, as prepare_step), the
// gravity and attraction phases, and force application, on the pool.
double prepare_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes);
// `ends` is scratch space for the copy of the ends (16 bytes a node).
void gravity_and_attraction_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                                    std::span<float> nodes, std::span<const EdgeRecord> edges,
                                    double compensation, std::vector<float>& ends);
void apply_forces_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                          std::span<float> nodes);

}  // namespace tallow
