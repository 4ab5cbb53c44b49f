// Times each phase of the iteration step on a graph written by run.py.
//
// usage: phase_bench GRAPH ITERATIONS THREADS THETA
//   GRAPH: u64 n, u64 m, m (u32 source, u32 target) pairs, n (f64 x, f64 y) pairs.
//   THETA < 0 selects exact repulsion, otherwise Barnes-Hut with that theta.
// Prints one JSON object: seconds per phase summed over the iterations (tree:
// the region tree and the walk tree; repulsion: the walks), the number of
// regions and of walk records of the last tree, and the slots of the edge
// lists that attraction on the pool sums per node (0 without them). The step sequence is the kernel's
// own; only clocks are added between the phases.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "iterate.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "node_phases.hpp"
#include "worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Graph {
  std::uint64_t n = 0;
  std::vector<tallow::EdgePair> edges;
  std::vector<tallow::Point> init;
};

Graph read_graph(const char* path) {
  std::ifstream in(path, std::ios::binary);
  Graph g;
  std::uint64_t m = 0;
  in.read(reinterpret_cast<char*>(&g.n), sizeof g.n);
  in.read(reinterpret_cast<char*>(&m), sizeof m);
  g.edges.resize(m);
  g.init.resize(g.n);
  in.read(reinterpret_cast<char*>(g.edges.data()), static_cast<std::streamsize>(m * 8));
  in.read(reinterpret_cast<char*>(g.init.data()), static_cast<std::streamsize>(g.n * 16));
  if (!in) {
    throw std::runtime_error(std::string("cannot read graph file ") + path);
  }
  return g;
}

struct PhaseTimes {
  double prepare = 0, tree = 0, repulsion = 0, gravity = 0, attraction = 0, apply = 0;
};

// Adds the seconds since `start` to `total` and restarts the clock.
void lap(double& total, Clock::time_point& start) {
  const Clock::time_point now = Clock::now();
  total += std::chrono::duration<double>(now - start).count();
  start = now;
}

// The regions of the last tree, whole or in cells.
std::size_t region_count(const tallow::StepBuffers& buffers,
                         const tallow::quadtree::BuildScratch& scratch) {
  if (!buffers.regions.empty()) {
    return buffers.regions.size() / tallow::region_stride;
  }
  std::size_t count = scratch.top.size() / tallow::region_stride;
  for (const std::uint32_t c : scratch.cell_order) {
    count += scratch.cells[c].regions.size() / tallow::region_stride - 1;  // root is in the top
  }
  return count;
}

void timed_step(const tallow::LayoutSettings& s, tallow::Matrices& m,
                tallow::StepBuffers& buffers, tallow::quadtree::BuildScratch& scratch,
                tallow::WorkerPool* pool, PhaseTimes& t) {
  Clock::time_point clock = Clock::now();
  // The same choice as the kernel's parallel step: small graphs keep the
  // per-node phases on the calling thread.
  const bool spread = pool != nullptr && pool->size() > 1 &&
                      m.nodes.size() / tallow::node_stride >= tallow::min_nodes_on_pool;
  const tallow::PoolStepStart start =
      spread ? tallow::prepare_step_on_pool(*pool, s, m.nodes, m.edges, buffers)
             : tallow::PoolStepStart{tallow::prepare_step(s, m.nodes), false};
  lap(t.prepare, clock);
  if (s.barnesHutOptimize) {
    // tree: the region tree and the walk tree; repulsion: the walks alone.
    std::size_t walks = 0;
    if (pool != nullptr) {
      walks = tallow::bh_prepare_walks_on_pool(*pool, m.nodes, buffers, scratch);
    } else if (tallow::builds_tree_in_cells(m.nodes.size() / tallow::node_stride)) {
      tallow::bh_prepare_walks_in_cells(buffers, m.nodes, scratch, tallow::on_calling_thread);
      walks = m.nodes.size() / tallow::node_stride;
    } else {
      tallow::quadtree::build_into(buffers.regions, m.nodes);
      walks = tallow::bh_prepare_step_walks(buffers, m.nodes, buffers.regions);
    }
    lap(t.tree, clock);
    if (pool != nullptr && walks >= tallow::min_walks_on_pool) {
      pool->for_each(walks, [&](std::size_t begin, std::size_t end) {
        tallow::bh_run_walks(s, m.nodes, buffers.regions, buffers, begin, end);
      });
    } else {
      tallow::bh_run_walks(s, m.nodes, buffers.regions, buffers, 0, walks);
    }
  } else if (pool != nullptr) {
    tallow::exact_repulsion_on_pool(*pool, s, m.nodes);
  } else {
    tallow::repulsion_phase(s, m.nodes, {});
  }
  lap(t.repulsion, clock);
  if (spread) {
    // Gravity, attraction and force application run as one on the pool,
    // counted as attraction.
    tallow::finish_step_on_pool(*pool, s, m.nodes, m.edges, start, buffers);
    lap(t.attraction, clock);
  } else {
    tallow::gravity_phase(s, m.nodes);
    lap(t.gravity, clock);
    // The same choice as the sequential step: packed slots for large graphs.
    if (m.nodes.size() / tallow::node_stride >= tallow::min_nodes_packed_attraction) {
      tallow::attraction_phase(s, m.nodes, m.edges, start.compensation, buffers.packed_nodes);
    } else {
      tallow::attraction_phase(s, m.nodes, m.edges, start.compensation);
    }
    lap(t.attraction, clock);
    tallow::apply_forces_phase(s, m.nodes);
  }
  lap(t.apply, clock);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: phase_bench GRAPH ITERATIONS THREADS THETA\n");
    return 2;
  }
  const Graph g = read_graph(argv[1]);
  const auto iterations = std::strtoul(argv[2], nullptr, 10);
  const auto threads = std::strtoul(argv[3], nullptr, 10);
  const double theta = std::strtod(argv[4], nullptr);

  tallow::LayoutSettings settings;
  settings.barnesHutOptimize = theta >= 0;
  settings.barnesHutTheta = theta;
  tallow::Matrices m = tallow::graph_to_matrices(g.n, g.edges, std::nullopt, g.init);
  std::optional<tallow::WorkerPool> pool;
  if (threads > 1) {
    pool.emplace(threads);
  }
  tallow::StepBuffers buffers;
  tallow::quadtree::BuildScratch scratch;
  PhaseTimes t;
  for (unsigned long i = 0; i < iterations; ++i) {
    timed_step(settings, m, buffers, scratch, pool ? &*pool : nullptr, t);
  }
  std::printf(
      "{\"prepare\": %.6f, \"tree\": %.6f, \"repulsion\": %.6f, \"gravity\": %.6f, "
      "\"attraction\": %.6f, \"apply\": %.6f, \"regions\": %zu, \"walk_records\": %zu, "
      "\"edge_list_slots\": %zu}\n",
      t.prepare, t.tree, t.repulsion, t.gravity, t.attraction, t.apply,
      region_count(buffers, scratch), buffers.walk_tree.records.size(),
      buffers.incident_edges.ends.size());
  return 0;
}
