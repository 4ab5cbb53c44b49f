// The region tree built cell by cell on a pool must be the sequential tree,
// bit for bit, whatever the thread count. 40,000 nodes are above the size at
// which the cells are built apart (32,768), so every case runs the parallel
// path: 64 cells three levels down, each with hundreds of nodes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "kernel_test_support.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "reference_step.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

constexpr std::size_t parallel_size = 40'000;
static_assert(parallel_size >= quadtree::min_nodes_for_cells);

void expect_regions(const RegionMatrix& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < expected.size() && mismatches < 10; ++i) {
    const auto same = same_bits(actual[i], expected[i]);
    if (!same) {
      ++mismatches;
      ADD_FAILURE() << "region at offset " << i / region_stride * region_stride << ", slot "
                    << i % region_stride << ": " << same.message();
    }
  }
}

// A dense Gaussian-like core (most cells near the middle), a sparse halo, a
// pile of 150 coincident nodes (a chain of 600 levels inside one cell),
// nodes on the root's centre lines and a few NaN nodes, masses 1 to 4.
std::vector<Body> mixed_bodies(std::size_t n) {
  testing_support::Jitter jitter(77u);
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    const double mass = 1.0 + static_cast<double>(i % 4);
    const double core = jitter() + jitter() + jitter();
    Body b{100.0 * core, 100.0 * (jitter() + jitter() + jitter()), mass};
    if (i % 50 == 7) b = {1000.0 * jitter(), 1000.0 * jitter(), mass};
    if (i % 211 == 3) b = {12.5, -3.75, mass};
    if (i % 997 == 11) b.x = std::numeric_limits<double>::quiet_NaN();
    if (i % 1009 == 13) b.y = 0.0;
    bodies.push_back(b);
  }
  return bodies;
}

RegionMatrix build_on_pool(const NodeMatrix& nodes, std::size_t threads) {
  WorkerPool pool(threads);
  quadtree::BuildScratch scratch;
  RegionMatrix regions;
  const quadtree::ForEachPart on_pool = [&pool](std::size_t count, const auto& body) {
    pool.for_each(count, body, /*largest_range=*/1);
  };
  quadtree::build_into(regions, nodes, on_pool, scratch);
  return regions;
}

class ParallelTree : public testing::TestWithParam<std::size_t> {};

TEST_P(ParallelTree, MixedNodesGiveTheReferenceTree) {
  const NodeMatrix nodes = make_nodes(mixed_bodies(parallel_size));
  expect_regions(build_on_pool(nodes, GetParam()), testing_support::reference_tree(nodes));
}

// The scratch keeps cells and arrays from a larger tree: nothing may leak
// into the next one.
TEST_P(ParallelTree, ReusedScratchGivesTheSequentialTree) {
  WorkerPool pool(GetParam());
  quadtree::BuildScratch scratch;
  RegionMatrix regions;
  const quadtree::ForEachPart on_pool = [&pool](std::size_t count, const auto& body) {
    pool.for_each(count, body);
  };
  quadtree::build_into(regions, make_nodes(mixed_bodies(2 * parallel_size)), on_pool, scratch);
  std::vector<Body> moved = mixed_bodies(parallel_size);
  for (Body& b : moved) b.x = -0.5 * b.x + 3.0;
  const NodeMatrix nodes = make_nodes(moved);
  quadtree::build_into(regions, nodes, on_pool, scratch);
  expect_regions(regions, quadtree::build(nodes));
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelTree, testing::Values(1, 2, 3, 8),
                         [](const testing::TestParamInfo<std::size_t>& param_info) {
                           return "threads" + std::to_string(param_info.param);
                         });

// Degenerate starts put every node into one cell, or chains across the
// cells' boundary; compared with the sequential build, which the region tree
// tests hold to the reference tree.
class ParallelDegenerateTree
    : public testing::TestWithParam<std::tuple<Degenerate, std::size_t>> {};

TEST_P(ParallelDegenerateTree, MatchesTheSequentialTree) {
  const auto [kind, threads] = GetParam();
  const NodeMatrix nodes = make_nodes(testing_support::degenerate_bodies(kind, parallel_size));
  expect_regions(build_on_pool(nodes, threads), quadtree::build(nodes));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ParallelDegenerateTree,
    testing::Combine(testing::ValuesIn(testing_support::every_degenerate),
                     testing::Values(std::size_t{2}, std::size_t{3})),
    [](const auto& test) {
      return testing_support::degenerate_name(std::get<0>(test.param)) + "_threads" +
             std::to_string(std::get<1>(test.param));
    });

}  // namespace
}  // namespace tallow
