#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <functional>
#include <string>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "fatal.hpp"
#include "matrices.hpp"

namespace tallow {
namespace {

using Weights = std::optional<std::span<const double>>;

std::array<float, node_stride> node_record(const Matrices& m, std::size_t i) {
  std::array<float, node_stride> out{};
  std::copy_n(m.nodes.begin() + static_cast<std::ptrdiff_t>(i * node_stride), node_stride,
              out.begin());
  return out;
}

std::string internal_error_text(const std::function<void()>& build) {
  try {
    build();
  } catch (const InternalError& error) {
    return error.what();
  }
  return "no error";
}

TEST(Matrices, EmptyGraphGivesEmptyMatrices) {
  const Matrices m = graph_to_matrices(0, {}, std::nullopt, {});
  EXPECT_TRUE(m.nodes.empty());
  EXPECT_TRUE(m.edges.empty());
}

TEST(Matrices, PlacedNodeStartsWithUnitMassConvergenceAndSize) {
  const std::vector<Point> init{{0.1, -2.5}};
  const Matrices m = graph_to_matrices(1, {}, std::nullopt, init);
  const std::array<float, node_stride> expected{0.1f, -2.5f, 0, 0, 0, 0, 1, 1, 1, 0};
  EXPECT_EQ(node_record(m, 0), expected);
  EXPECT_EQ(static_cast<double>(m.nodes[slot::x]), 0.10000000149011612);
}

TEST(Matrices, UnweightedMassIsOnePlusDegreeWithSelfLoopsTwice) {
  const std::vector<EdgePair> edges{{0, 1}, {0, 1}, {3, 3}, {2, 0}};
  const std::vector<Point> init(4, Point{0, 0});
  const Matrices m = graph_to_matrices(4, edges, std::nullopt, init);
  const std::array<float, 4> masses{4, 3, 2, 3};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(m.nodes[i * node_stride + slot::mass], masses[i]) << "node " << i;
  }
  ASSERT_EQ(m.edges.size(), 4u);
  EXPECT_EQ(m.edges[2].source, 3u);
  EXPECT_EQ(m.edges[2].target, 3u);
  for (const EdgeRecord& e : m.edges) {
    EXPECT_EQ(e.weight, 1.0f);
  }
}

// Sums of ones are exact only up to 2^24, where f32 addition of 1 stops.
// Node 0 (placed, mass 1) meets 2^24 + 2 ends, node 1 (not placed) 2: the
// masses without weights must be those of weights of 1 added one by one.
TEST(Matrices, UnweightedMassStopsAtTwoToThe24LikeAddedOnes) {
  std::vector<EdgePair> edges((std::size_t{1} << 23) + 1, EdgePair{0, 0});
  edges[5] = {1, 0};
  edges.push_back({0, 1});
  const std::vector<double> ones(edges.size(), 1.0);
  const std::vector<Point> init{{0, 0}};
  const Matrices unweighted = graph_to_matrices(2, edges, std::nullopt, init);
  const Matrices weighted = graph_to_matrices(2, edges, Weights(ones), init);
  EXPECT_EQ(unweighted.nodes[slot::mass], 16'777'216.0f);
  EXPECT_EQ(unweighted.nodes[node_stride + slot::mass], 2.0f);
  EXPECT_EQ(unweighted.nodes, weighted.nodes);
}

TEST(Matrices, WeightsAreRoundedPerAdditionAndStoredAsGiven) {
  const std::vector<EdgePair> edges{{0, 1}, {1, 2}, {2, 2}};
  const std::vector<double> weights{2.5, -3.0, 0.1, 99.0};  // the extra value is ignored
  const std::vector<Point> init(3, Point{0, 0});
  const Matrices m = graph_to_matrices(3, edges, Weights(weights), init);
  EXPECT_EQ(m.nodes[0 * node_stride + slot::mass], 3.5f);
  EXPECT_EQ(m.nodes[1 * node_stride + slot::mass], 0.5f);  // 1 + 2.5 - 3 drops below 1
  // 1 - 3 = -2, then f32(-2 + 0.1) and f32(that + 0.1): two roundings.
  const float once = static_cast<float>(-2.0 + 0.1);
  EXPECT_EQ(m.nodes[2 * node_stride + slot::mass], static_cast<float>(double{once} + 0.1));
  EXPECT_EQ(m.edges[0].weight, 2.5f);
  EXPECT_EQ(m.edges[2].weight, static_cast<float>(0.1));
}

TEST(Matrices, NodesWithoutInitKeepEverySlotAtZeroButIncidentWeights) {
  const std::vector<EdgePair> edges{{0, 2}};
  const std::vector<Point> init{{1, 2}, {3, 4}, {5, 6}, {7, 8}};  // one more than n_nodes
  const Matrices m = graph_to_matrices(3, edges, std::nullopt, std::span(init).first(1));
  const std::array<float, node_stride> expected{0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(node_record(m, 2), expected);
  const Matrices extra = graph_to_matrices(2, {}, std::nullopt, init);
  EXPECT_EQ(extra.nodes.size(), 2 * node_stride);
}

TEST(Matrices, InitBeyondFloatRangeBecomesInfinite) {
  const std::vector<Point> init{{1e300, -1e300}};
  const Matrices m = graph_to_matrices(1, {}, std::nullopt, init);
  EXPECT_EQ(m.nodes[slot::x], std::numeric_limits<float>::infinity());
  EXPECT_EQ(m.nodes[slot::y], -std::numeric_limits<float>::infinity());
}

struct BadBuild {
  const char* name;
  std::uint64_t n_nodes;
  std::vector<EdgePair> edges;
  std::optional<std::vector<double>> weights;
  const char* text;
};

class MatricesRejects : public testing::TestWithParam<BadBuild> {};

TEST_P(MatricesRejects, WithTheExactIndexError) {
  const BadBuild& c = GetParam();
  const std::vector<Point> init(static_cast<std::size_t>(c.n_nodes), Point{0, 0});
  const Weights weights = c.weights ? Weights(*c.weights) : std::nullopt;
  EXPECT_EQ(internal_error_text([&] { graph_to_matrices(c.n_nodes, c.edges, weights, init); }),
            c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatricesRejects,
    testing::Values(
        BadBuild{"EdgeWithoutNodes", 0, {{0, 0}}, {}, "index out of bounds: the len is 0 but the index is 6"},
        BadBuild{"SourcePastTheEnd", 2, {{0, 1}, {2, 0}}, {}, "index out of bounds: the len is 20 but the index is 26"},
        BadBuild{"TargetPastTheEnd", 2, {{1, 5}}, {}, "index out of bounds: the len is 20 but the index is 56"},
        BadBuild{"WeightCheckedBeforeSource", 2, {{0, 1}, {9, 9}}, std::vector<double>{1.0}, "index out of bounds: the len is 1 but the index is 1"}),
    [](const testing::TestParamInfo<BadBuild>& param_info) { return param_info.param.name; });

TEST(Matrices, NodeCountBeyondAddressableMemoryIsCapacityOverflow) {
  const std::string text = internal_error_text(
      [] { graph_to_matrices(std::uint64_t{1} << 62, {}, std::nullopt, {}); });
  EXPECT_EQ(text.rfind("capacity overflow", 0), 0u) << text;
}

TEST(Matrices, NodeIndicesBeyondTheFloatExactRangeStayExact) {
  // 3,355,445 * 10 is the first offset an f32 cannot hold; indices stay exact.
  const std::uint32_t high = 3'355'446;
  const std::vector<EdgePair> edges{{3'355'444, high}, {high - 1, high}};
  const std::vector<Point> init(high + 1, Point{0, 0});
  const Matrices m = graph_to_matrices(high + 1, edges, std::nullopt, init);
  EXPECT_EQ(m.edges[0].source, 3'355'444u);
  EXPECT_EQ(m.edges[1].source, high - 1);
  EXPECT_EQ(m.nodes[std::size_t{high} * node_stride + slot::mass], 3.0f);
  EXPECT_EQ(m.nodes[std::size_t{high - 1} * node_stride + slot::mass], 2.0f);
  EXPECT_EQ(m.nodes[std::size_t{high - 2} * node_stride + slot::mass], 2.0f);
  EXPECT_EQ(m.nodes[std::size_t{high - 3} * node_stride + slot::mass], 1.0f);
}

}  // namespace
}  // namespace tallow
