#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fatal.hpp"
#include "incident_edges.hpp"
#include "kernel_test_support.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "node_phases.hpp"

namespace tallow {
namespace {

// Two dense clusters joined by a few edges, positions from a fixed seed.
Matrices clustered_graph(std::uint32_t n) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> half(0, n / 2 - 1);
  std::normal_distribution<double> jitter(0.0, 30.0);
  std::vector<EdgePair> edges;
  for (std::uint32_t k = 0; k < 4 * n; ++k) {
    const std::uint32_t side = (k % 2) * (n / 2);
    edges.push_back({side + half(rng), side + half(rng)});
  }
  edges.push_back({0, n - 1});
  std::vector<Point> init;
  for (std::uint32_t i = 0; i < n; ++i) {
    init.push_back({jitter(rng), jitter(rng)});
  }
  return graph_to_matrices(n, edges, std::nullopt, init);
}

NodeMatrix run(const LayoutSettings& settings, std::uint64_t threads, std::uint32_t iterations,
               const IterationCallback& keep_going = {}) {
  Matrices m = clustered_graph(600);
  EXPECT_FALSE(run_layout(m.nodes, m.edges, settings, iterations, threads, keep_going));
  return m.nodes;
}

// Compared as bits: NaN must equal NaN and -0 must differ from +0.
void expect_same_bits(const NodeMatrix& parallel, const NodeMatrix& sequential,
                      std::uint64_t threads) {
  ASSERT_EQ(parallel.size(), sequential.size());
  for (std::size_t i = 0; i < parallel.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(parallel[i]),
              std::bit_cast<std::uint32_t>(sequential[i]))
        << "threads " << threads << ", element " << i << ": " << std::hexfloat << parallel[i]
        << " vs " << sequential[i];
  }
}

struct Mode {
  const char* name;
  LayoutSettings settings;
};

class RunLayoutThreads : public testing::TestWithParam<Mode> {};

TEST_P(RunLayoutThreads, EveryThreadCountGivesTheSameBits) {
  const LayoutSettings& settings = GetParam().settings;
  const NodeMatrix sequential = run(settings, /*threads=*/1, /*iterations=*/12);
  EXPECT_EQ(run(settings, /*threads=*/0, 12), sequential);
  for (std::uint64_t threads : {2u, 3u, 8u}) {
    expect_same_bits(run(settings, threads, 12), sequential, threads);
  }
}

LayoutSettings barnes_hut(double theta) {
  LayoutSettings s;
  s.barnesHutOptimize = true;
  s.barnesHutTheta = theta;
  return s;
}

LayoutSettings strong_linlog() {
  LayoutSettings s = barnes_hut(1.2);
  s.strongGravityMode = true;
  s.linLogMode = true;
  s.outboundAttractionDistribution = true;
  return s;
}

INSTANTIATE_TEST_SUITE_P(Modes, RunLayoutThreads,
                         testing::Values(Mode{"Exact", LayoutSettings{}},
                                         Mode{"BarnesHut", barnes_hut(0.5)},
                                         Mode{"BarnesHutStrongLinLog", strong_linlog()}),
                         [](const testing::TestParamInfo<Mode>& param_info) {
                           return param_info.param.name;
                         });

// A tree this large has its walk tree written on the pool as well.
TEST(RunLayout, LargeTreesGiveTheSameBitsOnThePool) {
  const Matrices start = clustered_graph(12'000);
  std::optional<NodeMatrix> sequential;
  for (std::uint64_t threads : {1u, 2u, 3u}) {
    Matrices m = start;
    StepBuffers buffers;
    EXPECT_FALSE(run_layout(m.nodes, m.edges, barnes_hut(0.5), 3, threads, {}, buffers));
    ASSERT_GE(buffers.regions.size() / region_stride, min_regions_on_pool);
    if (!sequential) {
      sequential = m.nodes;
    } else {
      expect_same_bits(m.nodes, *sequential, threads);
    }
  }
}

// Above min_nodes_for_cells nodes, so that the region tree is built cell by
// cell, on the calling thread and on the pool; two clusters put most nodes
// into a few cells. The plain step builds the whole tree.
TEST(RunLayout, TreeCellsGiveThePlainStepsBits) {
  const Matrices start = clustered_graph(static_cast<std::uint32_t>(quadtree::min_nodes_for_cells) +
                                         4000);
  ASSERT_TRUE(builds_tree_in_cells(start.nodes.size() / node_stride));
  Matrices sequential = start;
  for (int step = 0; step < 2; ++step) {
    iterate(barnes_hut(1.2), sequential.nodes, sequential.edges);
  }
  for (std::uint64_t threads : {1u, 2u, 3u, 8u}) {
    Matrices m = start;
    EXPECT_FALSE(run_layout(m.nodes, m.edges, barnes_hut(1.2), 2, threads, {}));
    expect_same_bits(m.nodes, sequential.nodes, threads);
  }
}

// At min_nodes_packed_attraction nodes and more, attraction runs over packed
// slots, packed and unpacked on the pool; linLog makes every edge's force
// depend on both ends' positions.
TEST(RunLayout, PackedAttractionOnThePoolGivesTheSequentialBits) {
  const Matrices start =
      clustered_graph(static_cast<std::uint32_t>(min_nodes_packed_attraction) + 1000);
  LayoutSettings settings = barnes_hut(1.2);
  settings.linLogMode = true;
  Matrices sequential = start;
  EXPECT_FALSE(run_layout(sequential.nodes, sequential.edges, settings, 1, 1, {}));
  Matrices parallel = start;
  EXPECT_FALSE(run_layout(parallel.nodes, parallel.edges, settings, 1, 2, {}));
  expect_same_bits(parallel.nodes, sequential.nodes, 2);
}

// Above min_nodes_on_pool nodes, so that rotation, gravity, attraction and
// force application run on the pool; self-loops, repeated edges, weights,
// pinned nodes and sizes make every branch of the per-node phases count.
Matrices per_node_phase_graph() {
  constexpr std::uint32_t n = static_cast<std::uint32_t>(min_nodes_on_pool) + 1000;
  return testing_support::mixed_graph(n, /*seed=*/11, /*loop_every=*/97, /*pin_every=*/13,
                                      /*size=*/3.0f);
}

class PerNodePhases : public testing::TestWithParam<Mode> {};

TEST_P(PerNodePhases, GiveTheSequentialBitsOnThePool) {
  const Matrices start = per_node_phase_graph();
  Matrices sequential = start;
  EXPECT_FALSE(run_layout(sequential.nodes, sequential.edges, GetParam().settings, 3, 1, {}));
  for (std::uint64_t threads : {2u, 3u, 8u}) {
    Matrices m = start;
    EXPECT_FALSE(run_layout(m.nodes, m.edges, GetParam().settings, 3, threads, {}));
    expect_same_bits(m.nodes, sequential.nodes, threads);
  }
}

LayoutSettings with(LayoutSettings s, void (*change)(LayoutSettings&)) {
  change(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PerNodePhases,
    testing::Values(
        Mode{"BarnesHut", barnes_hut(1.2)}, Mode{"StrongLinLogDistributed", strong_linlog()},
        Mode{"SizesSquaredWeights",
             with(barnes_hut(1.2),
                  [](LayoutSettings& s) {
                    s.adjustSizes = true;
                    s.edgeWeightInfluence = 2.0;
                  })},
        Mode{"LinLogGeneralPower", with(barnes_hut(1.2),
                                        [](LayoutSettings& s) {
                                          s.linLogMode = true;
                                          s.edgeWeightInfluence = 0.5;
                                        })},
        Mode{"ZeroInfluenceDistributed", with(barnes_hut(1.2),
                                              [](LayoutSettings& s) {
                                                s.edgeWeightInfluence = 0.0;
                                                s.outboundAttractionDistribution = true;
                                              })}),
    [](const testing::TestParamInfo<Mode>& param_info) { return param_info.param.name; });

// An owner may let the edge matrix go once the lists carry attraction: every
// later step reads the lists only (the emptied matrix proves it, and ASan
// builds would catch a read of the freed one), over one run or several.
TEST(RunLayout, ReleasedEdgesLeaveTheListsAlone) {
  const LayoutSettings settings = barnes_hut(1.2);
  if (!listed_attraction_fits(settings)) {
    GTEST_SKIP() << "this CPU has no AVX-512 lanes for listed attraction";
  }
  const Matrices start = per_node_phase_graph();
  Matrices sequential = start;
  EXPECT_FALSE(run_layout(sequential.nodes, sequential.edges, settings, 3, 1, {}));
  for (const std::uint32_t runs : {1u, 3u}) {
    Matrices m = start;
    StepBuffers buffers;
    buffers.incident_edges.min_nodes = 0;
    int releases = 0;
    buffers.release_edges = [&] {
      ++releases;
      EdgeMatrix().swap(m.edges);
    };
    for (std::uint32_t run = 0; run < runs; ++run) {
      EXPECT_FALSE(run_layout(m.nodes, m.edges, settings, 3 / runs, 2, {}, buffers));
    }
    EXPECT_EQ(releases, 1);
    EXPECT_TRUE(m.edges.empty());
    expect_same_bits(m.nodes, sequential.nodes, 2);
    // A step that would read the edge matrix after all is an error, not a
    // layout without attraction.
    EXPECT_THROW(run_layout(m.nodes, m.edges, settings, 1, 1, {}, buffers), InternalError);
  }
}

TEST(RunLayout, ZeroIterationsLeaveTheNodesUnchanged) {
  const NodeMatrix before = clustered_graph(600).nodes;
  EXPECT_EQ(run(barnes_hut(0.5), /*threads=*/4, /*iterations=*/0), before);
  EXPECT_EQ(run(barnes_hut(0.5), /*threads=*/1, /*iterations=*/0), before);
}

TEST(RunLayout, OneRunEqualsOneIterationRunsInARow) {
  // The module's progress mode runs one iteration per call; all state lives in the nodes.
  const LayoutSettings settings = barnes_hut(0.8);
  Matrices m = clustered_graph(600);
  for (int i = 0; i < 5; ++i) {
    ASSERT_FALSE(run_layout(m.nodes, m.edges, settings, 1, /*threads=*/2, {}));
  }
  EXPECT_EQ(m.nodes, run(settings, /*threads=*/1, /*iterations=*/5));
}

TEST(RunLayout, CallbackSeesEachStepAndCanStopTheRun) {
  std::vector<std::uint32_t> seen;
  Matrices m = clustered_graph(600);
  const std::optional<LayoutAborted> result =
      run_layout(m.nodes, m.edges, barnes_hut(0.5), 10, /*threads=*/2, [&](std::uint32_t done) {
        seen.push_back(done);
        return done < 3;
      });
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(m.nodes, run(barnes_hut(0.5), /*threads=*/1, /*iterations=*/3));
  std::ostringstream text;
  text << *result;
  EXPECT_EQ(text.str(), "LayoutAborted");
}

// Below min_nodes_for_pool a run may start no pool, so the parallel step is
// called here directly: on a pool, graphs of any size give the sequential bits.
TEST(RunIterationParallel, SmallGraphsGiveTheSequentialBits) {
  static_assert(600 < min_nodes_for_pool);
  for (const LayoutSettings& settings : {LayoutSettings{}, barnes_hut(0.5), strong_linlog()}) {
    for (std::uint32_t n : {0u, 1u, 600u}) {
      Matrices sequential = n < 2 ? graph_to_matrices(n, {}, std::nullopt,
                                                      std::vector<Point>(n, Point{3, 4}))
                                  : clustered_graph(n);
      const Matrices start = sequential;
      for (int step = 0; step < 3; ++step) iterate(settings, sequential.nodes, sequential.edges);
      for (std::size_t threads : {2u, 3u}) {
        Matrices m = start;
        WorkerPool pool(threads);
        StepBuffers buffers;
        for (int step = 0; step < 3; ++step) {
          run_iteration_parallel(pool, settings, m.nodes, m.edges, buffers);
        }
        expect_same_bits(m.nodes, sequential.nodes, threads);
      }
    }
  }
}

}  // namespace
}  // namespace tallow
