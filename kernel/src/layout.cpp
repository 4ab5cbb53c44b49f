#include "layout.hpp"

#include <algorithm>
#include <optional>
#include <ostream>

#include "exact_team_run.hpp"
#include "fatal.hpp"
#include "node_phases.hpp"
#include "worker_pool.hpp"

namespace tallow {

std::ostream& operator<<(std::ostream& out, LayoutAborted) { return out << "LayoutAborted"; }

namespace {

// A step about to read the edge matrix: its owner must not have let it go.
void require_edge_matrix(const StepBuffers& buffers) {
  if (buffers.incident_edges.edges_released) {
    fatal("a step needs the edge matrix, which was released for the edge lists");
  }
}

}  // namespace

bool builds_tree_in_cells(std::size_t node_count) {
  return node_count >= quadtree::min_nodes_for_cells && node_count <= max_nodes_for_cells;
}

std::size_t bh_prepare_walks_on_pool(WorkerPool& pool, std::span<const float> nodes,
                                     StepBuffers& buffers, quadtree::BuildScratch& scratch) {
  const std::size_t count = nodes.size() / node_stride;
  if (builds_tree_in_cells(count)) {
    // One cell at a time: cells differ a lot in size, the largest go first.
    bh_prepare_walks_in_cells(buffers, nodes, scratch,
                              [&pool](std::size_t cells, const RangeBody& body) {
                                pool.for_each(cells, body, /*largest_range=*/1);
                              });
    return count;
  }
  quadtree::build_into(buffers.regions, nodes, quadtree::Centres::walked_regions);
  // Waking the workers costs more than writing a small tree on this thread.
  return bh_prepare_step_walks(buffers, nodes, buffers.regions,
                               [&pool](std::size_t regions, const RangeBody& body) {
                                 if (regions < min_regions_on_pool) {
                                   body(0, regions);
                                 } else {
                                   pool.for_each(regions, body);
                                 }
                               });
}

void bh_repulsion_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                          std::span<float> nodes, StepBuffers& buffers,
                          quadtree::BuildScratch& scratch) {
  const std::size_t walks = bh_prepare_walks_on_pool(pool, nodes, buffers, scratch);
  if (walks < min_walks_on_pool) {
    bh_run_walks(settings, nodes, buffers.regions, buffers, 0, walks);
    return;
  }
  pool.for_each(walks, [&](std::size_t begin, std::size_t end) {
    bh_run_walks(settings, nodes, buffers.regions, buffers, begin, end);
  });
}

void run_iteration_parallel(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes, std::span<const EdgeRecord> edges,
                            StepBuffers& buffers) {
  quadtree::BuildScratch scratch;
  run_iteration_parallel(pool, settings, nodes, edges, buffers, scratch);
}

void run_iteration_parallel(WorkerPool& pool, const LayoutSettings& settings,
                            std::span<float> nodes, std::span<const EdgeRecord> edges,
                            StepBuffers& buffers, quadtree::BuildScratch& scratch) {
  const bool spread = pool.size() > 1 && nodes.size() / node_stride >= min_nodes_on_pool;
  const PoolStepStart start = spread ? prepare_step_on_pool(pool, settings, nodes, edges, buffers)
                                     : PoolStepStart{prepare_step(settings, nodes), false};
  if (!start.listed) {
    require_edge_matrix(buffers);
  }
  if (settings.barnesHutOptimize) {
    bh_repulsion_on_pool(pool, settings, nodes, buffers, scratch);
  } else {
    exact_repulsion_on_pool(pool, settings, nodes);
  }
  if (spread) {
    finish_step_on_pool(pool, settings, nodes, edges, start, buffers);
  } else {
    gravity_phase(settings, nodes);
    attraction_phase(settings, nodes, edges, start.compensation);
    apply_forces_phase(settings, nodes);
  }
}

void iterate_with_tree_in_cells(const LayoutSettings& settings, std::span<float> nodes,
                                std::span<const EdgeRecord> edges, StepBuffers& buffers,
                                quadtree::BuildScratch& scratch) {
  const double compensation = prepare_step(settings, nodes);
  bh_prepare_walks_in_cells(buffers, nodes, scratch, on_calling_thread);
  bh_run_walks(settings, nodes, buffers.regions, buffers, 0, nodes.size() / node_stride);
  finish_step(settings, nodes, edges, compensation, buffers);
}

std::optional<LayoutAborted> run_layout(std::span<float> nodes,
                                        std::span<const EdgeRecord> edges,
                                        const LayoutSettings& settings,
                                        std::uint32_t iterations, std::uint64_t threads,
                                        const IterationCallback& keep_going) {
  StepBuffers buffers;
  return run_layout(nodes, edges, settings, iterations, threads, keep_going, buffers);
}

std::optional<LayoutAborted> run_layout(std::span<float> nodes,
                                        std::span<const EdgeRecord> edges,
                                        const LayoutSettings& settings,
                                        std::uint32_t iterations, std::uint64_t threads,
                                        const IterationCallback& keep_going,
                                        StepBuffers& buffers, const PoolPolicy& policy) {
  // The pool exists for the whole run, also for zero iterations, and its
  // destructor shuts it down on every way out, a fatal error included.
  std::optional<WorkerPool> pool;
  // A small graph's whole step costs less than starting the workers and
  // handing them work: it may run on this thread, with the same bits.
  const std::size_t count = nodes.size() / node_stride;
  const bool small =
      count < (settings.barnesHutOptimize ? min_nodes_for_pool : min_nodes_exact_tiles);
  if (threads > 1 && !(small && policy.skip_pool_for_small_runs)) {
    pool.emplace(static_cast<std::size_t>(std::min(threads, max_workers)),
                 &WorkerPool::start_thread, policy.on_refusal);
  }
  if (!pool) {
    require_edge_matrix(buffers);
  }
  const bool team_may_call_back = !keep_going || policy.callback_on_any_thread;
  if (pool && runs_as_exact_team(settings, nodes, *pool) && team_may_call_back &&
      !buffers.incident_edges.edges_released) {
    if (!run_exact_team(*pool, settings, nodes, edges, iterations, keep_going)) {
      return LayoutAborted{};
    }
    return std::nullopt;
  }
  quadtree::BuildScratch tree_scratch;
  // A 64-bit counter cannot wrap at the largest 32-bit iteration count.
  for (std::uint64_t i = 1; i <= iterations; ++i) {
    if (pool) {
      run_iteration_parallel(*pool, settings, nodes, edges, buffers, tree_scratch);
    } else if (settings.barnesHutOptimize && builds_tree_in_cells(count)) {
      iterate_with_tree_in_cells(settings, nodes, edges, buffers, tree_scratch);
    } else {
      iterate(settings, nodes, edges, buffers);
    }
    if (keep_going && !keep_going(static_cast<std::uint32_t>(i))) {
      return LayoutAborted{};
    }
  }
  return std::nullopt;
}

}  // namespace tallow
