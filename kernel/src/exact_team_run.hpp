// An exact run's steps on the pool's workers as one team. A small exact step
// takes a few hundred microseconds, and waking a sleeping thread tens of
// them on a virtual machine: handed a loop per step, the workers lost two
// wake-ups a step (a worker's at its start, the calling thread's at its
// end). As a team, the workers run every step, passing the phases between
// them at spinning barriers, while the calling thread waits for the whole
// run once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "matrices.hpp"
#include "settings.hpp"
#include "worker_pool.hpp"

namespace tallow {

// Whether a run can go to the team: exact repulsion over whole records, from
// min_nodes_exact_tiles to below min_nodes_on_pool nodes (beyond, the pairs
// outweigh the hand-overs and the per-node phases go on the pool step by
// step), two workers or more, each with a core of its own.
bool runs_as_exact_team(const LayoutSettings& settings, std::span<const float> nodes,
                        const WorkerPool& pool);

// Runs `iterations` steps with the bits of iterate(): the tiles of exact
// repulsion shared out, gravity and attraction in edge order on the first
// worker, force application split by node ranges. After every step the
// first worker calls `keep_going` (if set) with the steps done, so it must not
// need the calling thread; false ends the run there. Returns false when
// `keep_going` ended it.
bool run_exact_team(WorkerPool& pool, const LayoutSettings& settings, std::span<float> nodes,
                    std::span<const EdgeRecord> edges, std::uint32_t iterations,
                    const std::function<bool(std::uint32_t)>& keep_going);

}  // namespace tallow
