#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "exact_team_run.hpp"
#include "fatal.hpp"
#include "kernel_test_support.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "node_phases.hpp"
#include "team_barrier.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

// Between min_nodes_exact_tiles and min_nodes_on_pool, where an exact run
// goes to the team; self-loops, repeated edges, weights, pinned nodes, sizes
// and coincident nodes make every branch of the step count.
Matrices team_graph() {
  constexpr std::uint32_t n = static_cast<std::uint32_t>(min_nodes_exact_tiles) + 333;
  Matrices m = testing_support::mixed_graph(n, /*seed=*/5, /*loop_every=*/89, /*pin_every=*/17,
                                            /*size=*/2.5f);
  for (const std::size_t k : {slot::x, slot::y}) {  // node 9 starts on node 4
    m.nodes[9 * node_stride + k] = m.nodes[4 * node_stride + k];
  }
  return m;
}

void expect_same_bits(const NodeMatrix& got, const NodeMatrix& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
        << "element " << i << ": " << std::hexfloat << got[i] << " vs " << want[i];
  }
}

NodeMatrix sequential_steps(const LayoutSettings& settings, std::uint32_t steps) {
  Matrices m = team_graph();
  for (std::uint32_t i = 0; i < steps; ++i) {
    iterate(settings, m.nodes, m.edges);
  }
  return m.nodes;
}

struct Mode {
  const char* name;
  LayoutSettings settings;
};

LayoutSettings exact_with(void (*change)(LayoutSettings&)) {
  LayoutSettings s;
  change(s);
  return s;
}

class ExactTeam : public testing::TestWithParam<Mode> {};

// Three workers on a smaller machine share cores: the spinning waits must
// then yield, and the bits stay.
TEST_P(ExactTeam, GivesTheSequentialBits) {
  const LayoutSettings& settings = GetParam().settings;
  const NodeMatrix want = sequential_steps(settings, 4);
  for (std::size_t workers : {2u, 3u}) {
    WorkerPool pool(workers);
    Matrices m = team_graph();
    EXPECT_TRUE(run_exact_team(pool, settings, m.nodes, m.edges, 4, {}));
    expect_same_bits(m.nodes, want);
  }
  Matrices m = team_graph();
  EXPECT_FALSE(run_layout(m.nodes, m.edges, settings, 4, /*threads=*/2, {}));
  expect_same_bits(m.nodes, want);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ExactTeam,
    testing::Values(Mode{"Plain", LayoutSettings{}},
                    Mode{"SizesSquaredWeights", exact_with([](LayoutSettings& s) {
                           s.adjustSizes = true;
                           s.edgeWeightInfluence = 2.0;
                         })},
                    Mode{"StrongLinLogDistributed", exact_with([](LayoutSettings& s) {
                           s.strongGravityMode = true;
                           s.linLogMode = true;
                           s.outboundAttractionDistribution = true;
                         })}),
    [](const testing::TestParamInfo<Mode>& param_info) { return param_info.param.name; });

TEST(ExactTeam, CallbackSeesEveryStepAndCanEndTheRun) {
  const NodeMatrix want = sequential_steps(LayoutSettings{}, 2);
  WorkerPool pool(2);
  Matrices m = team_graph();
  std::vector<std::uint32_t> seen;
  EXPECT_FALSE(run_exact_team(pool, LayoutSettings{}, m.nodes, m.edges, 5,
                              [&seen](std::uint32_t done) {
                                seen.push_back(done);
                                return done < 2;
                              }));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2}));
  expect_same_bits(m.nodes, want);
}

// An edge end beyond the nodes fails the first worker's attraction: the
// others must leave their waits and the error reach the caller.
TEST(ExactTeam, FailureInOneMemberEndsTheRun) {
  Matrices m = team_graph();
  m.edges[5].target = 1u << 30;
  WorkerPool pool(2);
  EXPECT_THROW(run_exact_team(pool, LayoutSettings{}, m.nodes, m.edges, 3, {}), InternalError);
}

// Every member writes its slot, then all read every slot: a barrier that let
// one through early, or hid a write, fails the check.
TEST(TeamBarrier, EveryPhaseSeesEveryMembersWrites) {
  constexpr std::size_t members = 3;
  constexpr std::uint64_t phases = 500;
  WorkerPool pool(members);
  TeamBarrier barrier(members);
  std::vector<std::uint64_t> written(members, 0);
  std::vector<int> mismatches(members, 0);
  pool.run_on_every_worker([&](std::size_t member) {
    for (std::uint64_t phase = 1; phase <= phases; ++phase) {
      written[member] = phase;
      EXPECT_TRUE(barrier.arrive_and_wait());
      for (std::uint64_t value : written) {
        mismatches[member] += value != phase;
      }
      EXPECT_TRUE(barrier.arrive_and_wait());
    }
  });
  EXPECT_EQ(mismatches, std::vector<int>(members, 0));
}

}  // namespace
}  // namespace tallow
