// The layout run: a number of iteration steps over one node matrix,
// sequential for threads 0 or 1, otherwise with a worker pool created for the
// run that carries the per-node Barnes-Hut walks. Results are bit-identical
// for every thread count: each walk writes only its own node's force.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>

#include "iterate.hpp"
#include "matrices.hpp"
#include "settings.hpp"
#include "worker_pool.hpp"

namespace tallow {

// The run's only error value: the iteration callback stopped it.
struct LayoutAborted {};
std::ostream& operator<<(std::ostream& out, LayoutAborted);  // "LayoutAborted"

// Called after every completed step with the number of steps done so far;
// returning false stops the run.
using IterationCallback = std::function<bool(std::uint32_t completed)>;

// The largest worker pool a run builds; a larger request is capped.
inline constexpr std::uint64_t max_workers = 65535;

// Below this many nodes a Barnes-Hut run builds no pool whatever `threads`
// says: a step this small costs about what starting the workers and waking
// them for every step would, so two threads would be no faster than one
// (same bits). An exact run, whose pairs grow as the square of the nodes,
// builds one from min_nodes_exact_tiles nodes.
inline constexpr std::size_t min_nodes_for_pool = 2048;

// Below this many regions the walk tree is written on the calling thread:
// waking the workers would cost more.
inline constexpr std::size_t min_regions_on_pool = 16384;

// Below this many nodes the walks run on the calling thread: walked eight at
// a time, a thousand nodes take a seventh of a millisecond, about what
// handing them to two workers costs.
inline constexpr std::size_t min_walks_on_pool = 8192;

// Up to this many nodes a tree built in cells keeps its walk records within
// 32-bit indices (at most four regions with children and one leaf a node);
// larger trees are built whole.
inline constexpr std::size_t max_nodes_for_cells = walk_region / 5;

// Whether a Barnes-Hut step builds its tree in cells: from
// quadtree::min_nodes_for_cells to max_nodes_for_cells nodes, on one thread
// too, where a cell's regions stay in the cache while they are built and the
// whole tree's do not.
bool builds_tree_in_cells(std::size_t node_count);

// iterate() with the region tree built in cells on the calling thread: the
// same bits. `scratch` keeps the cells' arrays from step to step.
void iterate_with_tree_in_cells(const LayoutSettings& settings, std::span<float> nodes,
                                std::span<const EdgeRecord> edges, StepBuffers& buffers,
                                quadtree::BuildScratch& scratch);

// The Barnes-Hut repulsion of one step: the region tree, its walk tree and
// one walk per node, on the pool while the caller waits. From
// quadtree::min_nodes_for_cells nodes the tree is built in cells, one cell per
// task (`scratch` keeps their arrays from step to step); smaller trees are
// built whole on the calling thread. Each walk writes only its own node's dx
// and dy and reads the walk tree, which nobody writes meanwhile, so neither
// the schedule nor the thread count can change a bit.
void bh_repulsion_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                          std::span<float> nodes, StepBuffers& buffers,
                          quadtree::BuildScratch& scratch);
// Its first half: the trees, ready for bh_run_walks; returns the walk count.
std::size_t bh_prepare_walks_on_pool(WorkerPool& pool, std::span<const float> nodes,
                                     StepBuffers& buffers, quadtree::BuildScratch& scratch);

// One iteration with the region tree, the Barnes-Hut walks and the per-node
// phases spread over `pool`, while the calling thread waits. Same bits as
// iterate(). `scratch` keeps the tree build's arrays from step to step.
void run_iteration_parallel(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes, std::span<const EdgeRecord> edges,
                            StepBuffers& buffers);
void run_iteration_parallel(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes, std::span<const EdgeRecord> edges,
                            StepBuffers& buffers, quadtree::BuildScratch& scratch);

// Runs `iterations` steps (the counter stops at the bound, never wraps).
// With threads >= 2 a pool of min(threads, max_workers) workers is built
// first (unless the policy skips it for small runs), also for zero
// iterations, and shut down on every way out. Returns
// LayoutAborted when the callback stops the run, nothing otherwise.
std::optional<LayoutAborted> run_layout(std::span<float> nodes,
                                        std::span<const EdgeRecord> edges,
                                        const LayoutSettings& settings,
                                        std::uint32_t iterations, std::uint64_t threads,
                                        const IterationCallback& keep_going);
// How a run treats its worker pool, beyond the thread count.
struct PoolPolicy {
  // A worker thread the system refuses to start: the fatal error, or a run
  // with the workers that did start.
  WorkerPool::OnRefusal on_refusal = WorkerPool::OnRefusal::fail;
  // Below min_nodes_for_pool nodes (min_nodes_exact_tiles for an exact
  // run), run on the calling thread without starting a pool (same bits; the
  // pool would cost more than it saves).
  bool skip_pool_for_small_runs = false;
  // The iteration callback needs nothing of the calling thread (no
  // interpreter lock), so a worker may call it: the run can then go to
  // the pool whole where that helps (exact_team_run.hpp). A run without a
  // callback can always go.
  bool callback_on_any_thread = false;
};

// The same run with the step buffers of the caller, for a caller that runs one
// iteration per call and wants to keep their capacity from call to call.
std::optional<LayoutAborted> run_layout(std::span<float> nodes,
                                        std::span<const EdgeRecord> edges,
                                        const LayoutSettings& settings,
                                        std::uint32_t iterations, std::uint64_t threads,
                                        const IterationCallback& keep_going,
                                        StepBuffers& buffers, const PoolPolicy& policy = {});

}  // namespace tallow
