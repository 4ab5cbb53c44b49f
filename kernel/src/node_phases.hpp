// The per-node phases of a parallel step, spread over the worker pool.
//
// What a node receives, and in which order, is fixed; which thread computes
// it is not. Force-slot rotation, gravity and force application touch only
// the node's own record, so any split of the nodes gives the same bits.
// Attraction is summed node by node from lists of each node's edges, or, where
// those cannot be made, stays on the calling thread in edge order.
#pragma once

#include <cstddef>
#include <span>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow {

class WorkerPool;
struct StepBuffers;

// Below this many nodes the per-node phases stay on the calling thread:
// waking the workers would cost more than they save.
inline constexpr std::size_t min_nodes_on_pool = 8192;

// Force application of nodes [first, end), in node order.
void apply_forces_range(const LayoutSettings& settings, std::span<float> nodes,
                        std::size_t first, std::size_t end);

// A step's start for nodes [first, end): each force becomes the previous one
// and is cleared.
void rotate_forces_range(std::span<float> nodes, std::size_t first, std::size_t end);

// Gravity of nodes [first, end), in node order.
void gravity_range(const LayoutSettings& settings, std::span<float> nodes, std::size_t first,
                   std::size_t end);

// How a step on the pool started: the compensation (as prepare_step gives
// it), and whether attraction is summed node by node from edge lists.
struct PoolStepStart {
  double compensation = 0.0;
  bool listed = false;
};

// The start of a step on the pool: rotation and compensation, as
// prepare_step. Where lists of each node's edges can be made (kept in
// buffers.incident_edges from a run's first step), the step sums attraction
// from them, and the positions they read are copied here: they do not change
// before force application.
PoolStepStart prepare_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                                   std::span<float> nodes, std::span<const EdgeRecord> edges,
                                   StepBuffers& buffers);

// Gravity, attraction and force application on the pool, attraction summed
// node by node where the step started with lists; else attraction runs in
// edge order on the calling thread (over the packed slots in
// buffers.packed_nodes from 262,144 nodes).
void finish_step_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                         std::span<float> nodes, std::span<const EdgeRecord> edges,
                         const PoolStepStart& start, StepBuffers& buffers);

// Below this many nodes exact repulsion stays on the calling thread: its
// tiles would be too small for the hand-overs between them (500 nodes on two
// threads: 0.15 ms an iteration against 0.14 on one; 768: 0.23 against 0.31).
inline constexpr std::size_t min_nodes_exact_tiles = 768;

// Exact repulsion (with sizes when adjustSizes is set) in tiles of the pair
// triangle, one anti-diagonal of tiles at a time on the pool. Same bits as
// exact_repulsion().
void exact_repulsion_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                             std::span<float> nodes);

}  // namespace tallow
