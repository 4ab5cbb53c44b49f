#include "exact_team_run.hpp"

#include <cstddef>

#include "core_sharing.hpp"
#include "exact_tiles.hpp"
#include "iterate.hpp"
#include "node_phases.hpp"
#include "team_barrier.hpp"

namespace tallow {
namespace {

struct Team {
  const LayoutSettings& settings;
  std::span<float> nodes;
  std::span<const EdgeRecord> edges;
  std::uint32_t iterations;
  const std::function<bool(std::uint32_t)>& keep_going;
  double compensation;
  ExactTiles tiles;
  TeamBarrier barrier;
  CoreSharing cores;
  bool ended_by_callback = false;  // the first worker's; read after the run
};

// Member `member` of `members`: its share of every step. A stopped barrier
// (a member failed, or the callback ended the run) ends it.
void run_member(Team& team, std::size_t member, std::size_t members) {
  const std::size_t count = team.nodes.size() / node_stride;
  const std::size_t first = count * member / members;
  const std::size_t end = count * (member + 1) / members;
  for (std::uint64_t i = 1; i <= team.iterations; ++i) {
    // The tiles rotate each block's forces before its first pair.
    if (!team.tiles.run(&team.barrier) || !team.barrier.arrive_and_wait()) {
      return;
    }
    if (member == 0) {
      gravity_phase(team.settings, team.nodes);
      attraction_phase(team.settings, team.nodes, team.edges, team.compensation);
      team.tiles.rewind();
    }
    if (!team.barrier.arrive_and_wait()) {
      return;
    }
    apply_forces_range(team.settings, team.nodes, first, end);
    team.cores.note(member);
    if (!team.barrier.arrive_and_wait()) {
      return;
    }
    team.cores.move_if_shared(member);
    if (team.keep_going) {
      if (member == 0 && !team.keep_going(static_cast<std::uint32_t>(i))) {
        team.ended_by_callback = true;
        team.barrier.stop();
        return;
      }
      if (!team.barrier.arrive_and_wait()) {
        return;
      }
    }
  }
}

}  // namespace

bool runs_as_exact_team(const LayoutSettings& settings, std::span<const float> nodes,
                        const WorkerPool& pool) {
  const std::size_t count = nodes.size() / node_stride;
  return !settings.barnesHutOptimize && nodes.size() % node_stride == 0 &&
         count >= min_nodes_exact_tiles && count < min_nodes_on_pool && pool.size() >= 2 &&
         pool.workers_fit_cores();
}

bool run_exact_team(WorkerPool& pool, const LayoutSettings& settings, std::span<float> nodes,
                    std::span<const EdgeRecord> edges, std::uint32_t iterations,
                    const std::function<bool(std::uint32_t)>& keep_going) {
  if (iterations == 0) {
    return true;
  }
  const std::size_t members = pool.size();
  Team team{settings,
            nodes,
            edges,
            iterations,
            keep_going,
            attraction_compensation(settings, nodes),
            ExactTiles(settings, nodes, /*rotates=*/true),
            TeamBarrier(members),
            CoreSharing(members)};
  pool.run_on_every_worker([&team, members](std::size_t member) {
    try {
      run_member(team, member, members);
    } catch (...) {
      team.barrier.stop();  // the others would wait for this member forever
      throw;
    }
  });
  return !team.ended_by_callback;
}

}  // namespace tallow
