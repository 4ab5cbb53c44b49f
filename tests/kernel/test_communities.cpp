#include "communities.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "fatal.hpp"
#include "matching.hpp"

namespace tallow {
namespace {

// `count` cliques of `size` nodes in a ring, one edge between neighbours.
std::vector<EdgePair> clique_ring(std::uint32_t count, std::uint32_t size) {
  std::vector<EdgePair> edges;
  for (std::uint32_t c = 0; c < count; ++c) {
    for (std::uint32_t i = 0; i < size; ++i) {
      for (std::uint32_t j = i + 1; j < size; ++j) {
        edges.push_back({c * size + i, c * size + j});
      }
    }
    if (count > 1) {
      edges.push_back({c * size, ((c + 1) % count) * size + 1});
    }
  }
  return edges;
}

WeightedRows unit_rows(std::uint32_t n, const std::vector<EdgePair>& edges) {
  return rows_from_edges(n, edges, std::vector<double>(edges.size(), 1.0));
}

double total_weight(const WeightedRows& rows) {
  double total = 0.0;
  for (const double w : rows.weights) {
    total += w;
  }
  return total;
}

TEST(RowsFromEdges, DropSelfLoopsAndKeepBothEndsOfEveryEdge) {
  const std::vector<EdgePair> edges = {{0, 1}, {2, 2}, {1, 2}, {0, 1}};
  const WeightedRows rows = rows_from_edges(4, edges, std::vector<double>{1.0, 5.0, 2.0, 3.0});
  EXPECT_EQ(rows.offsets, (std::vector<std::uint64_t>{0, 2, 5, 6, 6}));
  EXPECT_EQ(rows.neighbours, (std::vector<std::uint32_t>{1, 1, 0, 2, 0, 1}));
  EXPECT_EQ(rows.weights, (std::vector<double>{1.0, 3.0, 1.0, 2.0, 3.0, 2.0}));
}

TEST(RowsFromEdges, EndpointOutOfRangeIsFatal) {
  const std::vector<EdgePair> edges = {{0, 3}};
  EXPECT_THROW(rows_from_edges(3, edges, std::vector<double>{1.0}), InternalError);
  EXPECT_THROW(rows_from_edges(4, edges, std::vector<double>{}), InternalError);
}

TEST(MergeGroups, SumsCrossingEndsDropsInnerOnesAndNumbersByGroupValue) {
  // Path 0-1-2-3-4 with weights 1, 2, 4, 8; groups {0,1} -> 3, {2} -> 0, {3,4} -> 4.
  const std::vector<EdgePair> edges = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {0, 2}};
  const WeightedRows rows =
      rows_from_edges(5, edges, std::vector<double>{1.0, 2.0, 4.0, 8.0, 16.0});
  const std::vector<std::uint32_t> group = {3, 3, 0, 4, 4};
  const MergedGroups merged = merge_groups(rows, group, RowOrder::sorted);
  EXPECT_EQ(merged.parent, (std::vector<std::uint32_t>{1, 1, 0, 2, 2}));
  std::vector<std::int64_t> pairs(4);
  std::vector<double> weights(2);
  write_upper_edges(merged.rows, pairs, weights);
  EXPECT_EQ(pairs, (std::vector<std::int64_t>{0, 1, 0, 2}));
  EXPECT_EQ(weights, (std::vector<double>{18.0, 4.0}));
  EXPECT_THROW(write_upper_edges(merged.rows, pairs, std::span<double>(weights).first(1)),
               InternalError);
}

TEST(MergeGroups, NoNodesGiveNoNodes) {
  const MergedGroups merged = merge_groups(unit_rows(0, {}), {}, RowOrder::sorted);
  EXPECT_EQ(merged.rows.node_count(), 0u);
  EXPECT_TRUE(merged.parent.empty());
}

// The same partition whatever the numbers: as many labels as cliques, and
// each (label, clique) pair seen once per clique.
void expect_cliques(const std::vector<std::uint32_t>& label, std::uint32_t count,
                    std::uint32_t size) {
  std::set<std::uint32_t> labels(label.begin(), label.end());
  std::set<std::tuple<std::uint32_t, std::uint32_t>> pairs;
  for (std::uint32_t v = 0; v < label.size(); ++v) {
    pairs.insert({label[v], v / size});
  }
  EXPECT_EQ(labels.size(), count);
  EXPECT_EQ(pairs.size(), count);
}

class LouvainCliques : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {
};

TEST_P(LouvainCliques, FindsEveryCliqueForEverySeed) {
  const auto [count, size] = GetParam();
  const WeightedRows rows = unit_rows(count * size, clique_ring(count, size));
  for (std::uint64_t seed = 0; seed < 4; ++seed) {
    expect_cliques(louvain_communities(rows, CommunityOptions{}, seed), count, size);
  }
}

INSTANTIATE_TEST_SUITE_P(Rings, LouvainCliques,
                         ::testing::Values(std::tuple{2u, 5u}, std::tuple{4u, 8u},
                                           std::tuple{12u, 6u}, std::tuple{40u, 10u}));

TEST(Louvain, NodesWithoutEdgesKeepLabelsOfTheirOwn) {
  EXPECT_EQ(louvain_communities(unit_rows(3, {}), CommunityOptions{}, 0),
            (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_TRUE(louvain_communities(unit_rows(0, {}), CommunityOptions{}, 0).empty());
  const std::vector<std::uint32_t> label =
      louvain_communities(unit_rows(4, {{0, 1}}), CommunityOptions{}, 0);
  EXPECT_EQ(label[0], label[1]);
  EXPECT_NE(label[2], label[3]);
}

TEST(Louvain, SameSeedSameLabels) {
  // Weak cliques (joined by many edges) leave room for the order to matter.
  std::vector<EdgePair> edges = clique_ring(30, 6);
  for (std::uint32_t v = 0; v + 7 < 180; v += 5) {
    edges.push_back({v, v + 7});
  }
  const WeightedRows rows = unit_rows(180, edges);
  const CommunityOptions options{.resolution = 2.0};
  EXPECT_EQ(louvain_communities(rows, options, 9), louvain_communities(rows, options, 9));
}

TEST(Matching, StarLeavesJoinTheirHub) {
  std::vector<EdgePair> edges;
  for (std::uint32_t leaf = 1; leaf < 10; ++leaf) {
    edges.push_back({0, leaf});
  }
  const WeightedRows rows = unit_rows(10, edges);
  const std::vector<double> mass(10, 1.0);
  const std::vector<std::uint32_t> group = matched_groups(rows, mass, {}, 3, 3);
  EXPECT_EQ(group, std::vector<std::uint32_t>(10, 0));
}

TEST(Matching, PairsStayInsideLabelsAndMergingKeepsTheWeight) {
  const std::uint32_t n = 60;
  std::vector<EdgePair> path;
  for (std::uint32_t v = 0; v + 1 < n; ++v) {
    path.push_back({v, v + 1});
  }
  const WeightedRows rows = unit_rows(n, path);
  std::vector<std::uint32_t> label(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    label[v] = v / 7;
  }
  const std::vector<double> mass(n, 1.0);
  const std::vector<std::uint32_t> group = matched_groups(rows, mass, label, 5, 3);
  std::uint32_t merged = 0;
  for (std::uint32_t v = 0; v < n; ++v) {
    EXPECT_EQ(label[group[v]], label[v]) << "node " << v;
    merged += group[v] != v ? 1 : 0;
  }
  EXPECT_GT(merged, n / 3);
  const MergedGroups coarse = merge_groups(rows, group, RowOrder::sorted);
  // Crossing edges keep their weight; the ones inside groups (merged of them) go.
  EXPECT_EQ(total_weight(coarse.rows), total_weight(rows) - 2.0 * merged);
}

}  // namespace
}  // namespace tallow
