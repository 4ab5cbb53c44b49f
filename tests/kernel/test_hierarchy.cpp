#include "hierarchy.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tallow {
namespace {

WeightedRows unit_rows(std::uint32_t n, const std::vector<EdgePair>& edges) {
  return rows_from_edges(n, edges, std::vector<double>(edges.size(), 1.0));
}

// The coarsest node of every finest node.
std::vector<std::uint32_t> coarsest_member(std::uint32_t n,
                                           const std::vector<CoarseLevel>& levels) {
  std::vector<std::uint32_t> member(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    member[v] = v;
    for (const CoarseLevel& level : levels) {
      member[v] = level.parent[member[v]];
    }
  }
  return member;
}

TEST(Hierarchy, NothingToMergeGivesNoLevel) {
  const std::vector<double> mass(5, 1.0);
  EXPECT_TRUE(build_hierarchy(unit_rows(5, {}), mass, HierarchyOptions{.coarsest_nodes = 1}, 0)
                  .empty());
  EXPECT_TRUE(build_hierarchy(unit_rows(0, {}), {}, HierarchyOptions{}, 0).empty());
}

TEST(Hierarchy, EndsWithOneNodePerCliqueAndKeepsTheMass) {
  const std::uint32_t count = 20;
  const std::uint32_t size = 6;
  std::vector<EdgePair> edges;
  for (std::uint32_t c = 0; c < count; ++c) {
    for (std::uint32_t i = 0; i < size; ++i) {
      for (std::uint32_t j = i + 1; j < size; ++j) {
        edges.push_back({c * size + i, c * size + j});
      }
    }
    edges.push_back({c * size, ((c + 1) % count) * size + 1});
  }
  const std::uint32_t n = count * size;
  const std::vector<double> mass(n, 1.5);  // sums of 1.5 are exact
  const std::vector<CoarseLevel> levels =
      build_hierarchy(unit_rows(n, edges), mass, HierarchyOptions{.coarsest_nodes = count}, 3);
  ASSERT_FALSE(levels.empty());
  for (const CoarseLevel& level : levels) {
    double total = 0.0;
    for (const double m : level.mass) {
      total += m;
    }
    EXPECT_EQ(total, 1.5 * n);
  }
  EXPECT_EQ(levels.back().rows.node_count(), count);
  const std::vector<std::uint32_t> member = coarsest_member(n, levels);
  for (std::uint32_t v = 0; v < n; ++v) {
    EXPECT_EQ(member[v], member[v / size * size]) << "node " << v;
  }
}

TEST(Hierarchy, PathShrinksLevelByLevelDownToTheCoarsestSize) {
  const std::uint32_t n = 2000;
  std::vector<EdgePair> path;
  for (std::uint32_t v = 0; v + 1 < n; ++v) {
    path.push_back({v, v + 1});
  }
  const std::vector<double> mass(n, 1.0);
  const std::vector<CoarseLevel> levels =
      build_hierarchy(unit_rows(n, path), mass, HierarchyOptions{.coarsest_nodes = 40}, 1);
  std::uint32_t before = n;
  for (const CoarseLevel& level : levels) {
    EXPECT_LE(level.rows.node_count(), 0.9 * before);
    before = level.rows.node_count();
  }
  EXPECT_LE(before, 40u);
}

}  // namespace
}  // namespace tallow
