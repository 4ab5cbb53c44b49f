// Attraction summed node by node from the edge lists, against the edge-order
// phase, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "incident_edges.hpp"
#include "iterate.hpp"
#include "kernel_test_support.hpp"
#include "layout.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

using testing_support::same_bits;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

// NaN against NaN passes whatever their signs: scalar code may negate a
// product instead of a factor, as compilers choose.
void expect_same_bits(const NodeMatrix& actual, const NodeMatrix& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_TRUE(same_bits(actual[i], expected[i]))
        << "node " << i / node_stride << " slot " << i % node_stride;
  }
}

struct Graph {
  std::string name;
  NodeMatrix nodes;
  EdgeMatrix edges;
};

// Random positions and start forces, and edges drawn at random, with the
// cases a per-node sum can get wrong: self-loops, repeated and reversed
// edges, a hub (its degree far beyond the others', so it is sorted apart and
// its group pads the other lanes), nodes with no edge, a node count that is
// no multiple of eight, and several blocks of nodes.
Graph random_graph(std::uint32_t n, std::uint32_t m, bool weighted, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> node(0, n - 6);  // the last five: no edge
  std::uniform_real_distribution<float> spread(-50.0f, 50.0f);
  std::uniform_real_distribution<float> weight(-1.0f, 3.0f);
  Graph g{"random", NodeMatrix(std::size_t{n} * node_stride, 0.0f), {}};
  for (std::uint32_t i = 0; i < n; ++i) {
    float* record = g.nodes.data() + std::size_t{i} * node_stride;
    record[slot::x] = spread(rng);
    record[slot::y] = spread(rng);
    record[slot::dx] = spread(rng);
    record[slot::dy] = i % 5 == 0 ? -0.0f : spread(rng);
    record[slot::mass] = 1.0f;
  }
  const std::uint32_t hub = n / 3;
  for (std::uint32_t k = 0; k < m; ++k) {
    const std::uint32_t source = k % 9 == 0 ? hub : node(rng);
    const std::uint32_t target = k % 53 == 0 ? source : node(rng);
    g.edges.push_back({source, target, weighted ? weight(rng) : 1.0f});
    if (k % 71 == 0) {
      g.edges.push_back({target, source, g.edges.back().weight});
      g.edges.push_back(g.edges.back());
    }
  }
  return g;
}

// Coincident ends, infinite and NaN positions, and every edge of weight
// `weight`, or, with `varying`, weights 0, 1, 2, infinite and NaN.
Graph degenerate_graph(float weight, bool varying) {
  Graph g{"degenerate", NodeMatrix(std::size_t{21} * node_stride, 0.0f), {}};
  const float xs[] = {0,     0,      1, 1, inf, -inf, nan, 2, 2, 3, -0.0f,
                      1e30f, -1e30f, 4, 4, 5,   6,    7,   8, 9, 10};
  for (std::size_t i = 0; i < 21; ++i) {
    g.nodes[i * node_stride + slot::x] = xs[i];
    g.nodes[i * node_stride + slot::y] = i == 8 ? nan : static_cast<float>(i % 4);
    g.nodes[i * node_stride + slot::dx] = i == 3 ? nan : -0.0f;
  }
  for (std::uint32_t s = 0; s < 21; ++s) {
    for (std::uint32_t t = s % 3; t < 21; t += 4) {
      g.edges.push_back({s, t, varying ? static_cast<float>((s + t) % 3) : weight});
    }
  }
  g.edges.push_back({4, 5, varying ? inf : weight});
  g.edges.push_back({6, 7, varying ? nan : weight});
  return g;
}

LayoutSettings with_power(double power) {
  LayoutSettings settings;
  settings.edgeWeightInfluence = power;
  return settings;
}

// Sums the lists in ranges of groups cut at `cuts`, as the pool's ranges may
// be cut, and compares with the edge-order phase.
void expect_listed_gives_edge_order(const Graph& g, const LayoutSettings& settings,
                                    std::vector<std::size_t> cuts) {
  NodeMatrix expected = g.nodes;
  attraction_phase(settings, expected, g.edges, 0.0);
  const std::size_t count = g.nodes.size() / node_stride;
  IncidentEdges lists;
  ASSERT_TRUE(list_incident_edges(lists, g.edges, count, on_calling_thread));
  ListedValues values;
  values.resize(count);
  gather_listed_positions(lists, g.nodes, values, 0, count);
  gather_listed_forces(lists, g.nodes, values, 0, count);
  cuts.push_back(lists.groups());
  std::size_t first = 0;
  for (const std::size_t cut : cuts) {
    attraction_listed(settings, lists, values, first, std::min(cut, lists.groups()));
    first = std::min(cut, lists.groups());
  }
  NodeMatrix actual = g.nodes;
  scatter_listed_forces(lists, values, actual, 0, count);
  expect_same_bits(actual, expected);
}

class ListedAttraction : public testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    if (!listed_attraction_fits(with_power(GetParam()))) {
      GTEST_SKIP() << "this CPU has no AVX-512 lanes for listed attraction";
    }
  }
};

TEST_P(ListedAttraction, GivesTheEdgeOrderBits) {
  const LayoutSettings settings = with_power(GetParam());
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted ? "weighted" : "unweighted");
    expect_listed_gives_edge_order(random_graph(9001, 40000, weighted, 5), settings, {1, 600, 601});
  }
  for (const float weight : {1.0f, 0.0f, -2.5f, inf, nan}) {
    SCOPED_TRACE(weight);
    expect_listed_gives_edge_order(degenerate_graph(weight, false), settings, {1});
  }
  expect_listed_gives_edge_order(degenerate_graph(0.0f, true), settings, {1});
  SCOPED_TRACE("no edges");  // no slots at all: the forces stay as they were
  expect_listed_gives_edge_order(random_graph(4099, 0, false, 6), settings, {1});
}

INSTANTIATE_TEST_SUITE_P(WeightPowers, ListedAttraction, testing::Values(0.0, 1.0, 2.0));

TEST(IncidentEdges, ListEachNodesEdgesInEdgeOrder) {
  // Node 1 meets edges 0 (as target), 1 (a self-loop: source, then target)
  // and 3 (as source); node 3 has none. Ends are named by their places.
  const EdgeMatrix edges = {{0, 1, 1}, {1, 1, 1}, {2, 0, 1}, {1, 2, 1}};
  IncidentEdges lists;
  ASSERT_TRUE(list_incident_edges(lists, edges, 4, on_calling_thread));
  ASSERT_EQ(lists.groups(), 1u);
  EXPECT_EQ(lists.order, (UnwrittenArray<std::uint32_t>{3, 0, 2, 1}));  // by degree, ties by index
  EXPECT_EQ(lists.place, (UnwrittenArray<std::uint32_t>{1, 3, 2, 0}));
  EXPECT_EQ(lists.degree, (UnwrittenArray<std::uint32_t>{0, 2, 2, 4}));
  std::vector<std::uint32_t> node_1;
  for (std::size_t step = 0; step < 4; ++step) {
    node_1.push_back(lists.ends[step * group_lanes + 3]);
  }
  EXPECT_EQ(node_1, (std::vector<std::uint32_t>{1 | as_target, 3, 3 | as_target, 2}));
  EXPECT_TRUE(lists.weights.empty());
}

// Lists made again in the same arrays, for fewer edges: every slot past a
// lane's degree, and every slot of a lane past the last node, must name
// place 0 with weight 0, whatever the earlier lists left there.
TEST(IncidentEdges, IdleSlotsNamePlaceZeroWhenMadeAgain) {
  EdgeMatrix dense;
  for (std::uint32_t a = 0; a < 12; ++a) {
    for (std::uint32_t b = a; b < 12; ++b) {
      dense.push_back({a, b, 1.0f + static_cast<float>(a + b)});
    }
  }
  const EdgeMatrix sparse = {{0, 9, 2}, {9, 9, 3}, {4, 5, 2}, {9, 1, 5}, {3, 9, 2}};
  IncidentEdges lists;
  ASSERT_TRUE(list_incident_edges(lists, dense, 12, on_calling_thread));
  ASSERT_TRUE(list_incident_edges(lists, sparse, 10, on_calling_thread));
  ASSERT_EQ(lists.groups(), 2u);
  ASSERT_EQ(lists.weights.size(), lists.ends.size());
  std::size_t idle = 0;
  for (std::size_t g = 0; g < lists.groups(); ++g) {
    for (std::size_t lane = 0; lane < group_lanes; ++lane) {
      const std::size_t i = g * group_lanes + lane;
      const std::uint32_t edges = i < 10 ? lists.degree[i] : 0;
      for (std::size_t slot = lists.group_start[g] + lane + edges * group_lanes;
           slot < lists.group_start[g + 1]; slot += group_lanes, ++idle) {
        EXPECT_EQ(lists.ends[slot], 0u) << "slot " << slot;
        EXPECT_EQ(lists.weights[slot], 0.0f) << "slot " << slot;
      }
    }
  }
  EXPECT_GT(idle, 0u);
}

// Weights are kept per slot as soon as one edge's differs, bit for bit, from
// the first edge's, in either half of the edges.
TEST(IncidentEdges, KeepWeightsWhenAnyDiffers) {
  for (std::size_t differing = 0; differing < 4; ++differing) {
    EdgeMatrix edges = {{0, 1, 0.0f}, {1, 2, 0.0f}, {2, 3, 0.0f}, {3, 0, 0.0f}};
    edges[differing].weight = -0.0f;
    IncidentEdges lists;
    ASSERT_TRUE(list_incident_edges(lists, edges, 4, on_calling_thread));
    EXPECT_EQ(lists.weights.size(), lists.ends.size()) << "edge " << differing;
  }
}

TEST(IncidentEdges, AreNotMadeForAnEndOutsideTheNodes) {
  const EdgeMatrix edges = {{0, 1, 1}, {1, 4, 1}};
  IncidentEdges lists;
  EXPECT_FALSE(list_incident_edges(lists, edges, 4, on_calling_thread));
  EXPECT_TRUE(list_incident_edges(lists, edges, 5, on_calling_thread));
}

// A whole run on the pool with the lists made from any node count: every
// thread count gives the plain step's bits, and a second edge matrix in the
// same buffers gets lists of its own.
TEST(IncidentEdges, RunsOnThePoolGiveThePlainStepsBits) {
  if (!listed_attraction_fits(LayoutSettings{})) {
    GTEST_SKIP() << "this CPU has no AVX-512 lanes for listed attraction";
  }
  const Graph first = random_graph(9001, 30000, false, 7);
  const Graph second = random_graph(9001, 20000, true, 8);
  NodeMatrix expected = first.nodes;
  for (int step = 0; step < 2; ++step) iterate(LayoutSettings{}, expected, first.edges);
  for (int step = 0; step < 2; ++step) iterate(LayoutSettings{}, expected, second.edges);
  for (const std::size_t threads : {2u, 3u, 8u}) {
    WorkerPool pool(threads);
    StepBuffers buffers;
    buffers.incident_edges.min_nodes = 0;
    NodeMatrix nodes = first.nodes;
    for (int step = 0; step < 2; ++step) {
      run_iteration_parallel(pool, LayoutSettings{}, nodes, first.edges, buffers);
    }
    EXPECT_TRUE(buffers.incident_edges.usable);
    for (int step = 0; step < 2; ++step) {
      run_iteration_parallel(pool, LayoutSettings{}, nodes, second.edges, buffers);
    }
    EXPECT_EQ(buffers.incident_edges.made_from, second.edges.data());
    expect_same_bits(nodes, expected);
  }
}

}  // namespace
}  // namespace tallow
