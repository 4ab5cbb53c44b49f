// The walk tree built from a region tree in cells, on a pool, must be the
// walk tree of the whole sequential region tree, bit for bit, whatever the
// thread count. 40,000 nodes are above the size at which the tree is built in
// cells (32,768), so every case builds 64 cells three levels down, each with
// hundreds of nodes; where a first tree found cells of more than a sixteenth
// of the nodes (the dense core, the degenerate piles), the second splits
// them up to two levels further.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "iterate.hpp"
#include "kernel_test_support.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

constexpr std::size_t parallel_size = 40'000;
static_assert(parallel_size >= quadtree::min_nodes_for_cells);

// Records, skips, shortcuts, reaches and walk order: everything a walk reads.
void expect_same_walks(const StepBuffers& actual, const StepBuffers& expected) {
  const WalkTree& a = actual.walk_tree;
  const WalkTree& e = expected.walk_tree;
  ASSERT_EQ(a.records.size(), e.records.size());
  ASSERT_EQ(a.reach.size(), e.reach.size());
  std::size_t mismatches = 0;
  for (std::size_t r = 0; r < e.records.size() && mismatches < 10; ++r) {
    const bool same = same_bits(a.records[r].x, e.records[r].x) &&
                      same_bits(a.records[r].y, e.records[r].y) &&
                      same_bits(a.records[r].mass, e.records[r].mass) &&
                      same_bits(a.records[r].opening, e.records[r].opening) &&
                      a.skip[r] == e.skip[r] &&
                      a.shortcuts[r].next_live == e.shortcuts[r].next_live &&
                      a.shortcuts[r].same_point == e.shortcuts[r].same_point &&
                      (e.reach.empty() || same_bits(a.reach[r], e.reach[r]));
    if (!same) {
      ++mismatches;
      ADD_FAILURE() << "walk record " << r << " differs";
    }
  }
  EXPECT_EQ(actual.walk_order, expected.walk_order);
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

// Odd sizes, so that reaches differ from node to node.
NodeMatrix with_sizes(NodeMatrix nodes) {
  for (std::size_t i = 0; i < nodes.size() / node_stride; ++i) {
    nodes[i * node_stride + slot::size] = 0.25f + static_cast<float>(i % 7);
  }
  return nodes;
}

StepBuffers walks_of_whole_tree(const NodeMatrix& nodes, bool sized) {
  StepBuffers buffers;
  buffers.sized_leaves = sized;
  bh_prepare_walks(buffers, nodes, quadtree::build(nodes));
  return buffers;
}

void prepare_in_cells(StepBuffers& buffers, const NodeMatrix& nodes, WorkerPool& pool,
                      quadtree::BuildScratch& scratch) {
  bh_prepare_walks_in_cells(buffers, nodes, scratch,
                            [&pool](std::size_t count, const RangeBody& body) {
                              pool.for_each(count, body, /*largest_range=*/1);
                            });
}

// Built twice: the second tree's cells follow the plan the first one made
// (crowded cells split further).
StepBuffers walks_in_cells(const NodeMatrix& nodes, std::size_t threads, bool sized) {
  WorkerPool pool(threads);
  quadtree::BuildScratch scratch;
  StepBuffers buffers;
  buffers.sized_leaves = sized;
  prepare_in_cells(buffers, nodes, pool, scratch);
  prepare_in_cells(buffers, nodes, pool, scratch);
  return buffers;
}

class CellWalkTree : public testing::TestWithParam<std::tuple<std::size_t, bool>> {};

// Larger graphs put their cells further down; here 40,000 nodes are cut
// that finely, each tree built twice as above.
class DeeperCells : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(DeeperCells, GiveTheWholeTreesWalks) {
  const auto [depth, threads] = GetParam();
  const NodeMatrix nodes = with_sizes(make_nodes(mixed_bodies(parallel_size)));
  WorkerPool pool(threads);
  quadtree::BuildScratch scratch;
  scratch.cell_depth = depth;
  StepBuffers buffers;
  buffers.sized_leaves = true;
  prepare_in_cells(buffers, nodes, pool, scratch);
  prepare_in_cells(buffers, nodes, pool, scratch);
  expect_same_walks(buffers, walks_of_whole_tree(nodes, true));
  ASSERT_FALSE(scratch.cell_order.empty());
  for (const std::uint32_t c : scratch.cell_order) {
    EXPECT_GE(scratch.cells[c].depth, depth);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, DeeperCells,
                         testing::Combine(testing::Values(std::size_t{4}, std::size_t{5}),
                                          testing::Values(std::size_t{1}, std::size_t{3})),
                         [](const auto& test) {
                           return "depth" + std::to_string(std::get<0>(test.param)) +
                                  "_threads" + std::to_string(std::get<1>(test.param));
                         });

TEST_P(CellWalkTree, MixedNodesGiveTheWholeTreesWalks) {
  const auto [threads, sized] = GetParam();
  const NodeMatrix nodes = with_sizes(make_nodes(mixed_bodies(parallel_size)));
  expect_same_walks(walks_in_cells(nodes, threads, sized), walks_of_whole_tree(nodes, sized));
}

// The scratch and buffers keep cells and arrays from a larger tree: nothing
// may leak into the next one.
TEST_P(CellWalkTree, ReusedScratchGivesTheWholeTreesWalks) {
  const auto [threads, sized] = GetParam();
  WorkerPool pool(threads);
  quadtree::BuildScratch scratch;
  StepBuffers buffers;
  buffers.sized_leaves = sized;
  prepare_in_cells(buffers, with_sizes(make_nodes(mixed_bodies(2 * parallel_size))), pool,
                   scratch);
  std::vector<Body> moved = mixed_bodies(parallel_size);
  for (Body& b : moved) b.x = -0.5 * b.x + 3.0;
  const NodeMatrix nodes = with_sizes(make_nodes(moved));
  prepare_in_cells(buffers, nodes, pool, scratch);
  expect_same_walks(buffers, walks_of_whole_tree(nodes, sized));
}

// Regions of the top that meet their second node only at the end of the
// node order, long after many nodes took known routes past their parents: a
// cluster in one quadrant, then single nodes, a close triple (splits down
// past the cells' depth) and a node on a centre line in the empty ones. x
// starts at a signed zero, so one side of the box is zero.
TEST_P(CellWalkTree, LateNodesInEmptyRegionsGiveTheWholeTreesWalks) {
  const auto [threads, sized] = GetParam();
  testing_support::Jitter jitter(11u);
  std::vector<Body> bodies{{-0.0, 0.0, 1.0}, {1000.0, 1000.0, 2.0}, {0.0, 999.0, 1.0}};
  while (bodies.size() < parallel_size - 6) {
    bodies.push_back({750.0 + 500.0 * jitter(), 750.0 + 500.0 * jitter(), 1.0});
  }
  for (const Body& late : {Body{10.0, 10.0, 3.0}, Body{10.001, 10.001, 1.0},
                           Body{10.001, 10.0010001, 2.0}, Body{250.0, 750.0, 1.0},
                           Body{500.0, 125.0, 1.0}, Body{-0.0, 300.0, 1.0}}) {
    bodies.push_back(late);
  }
  const NodeMatrix nodes = with_sizes(make_nodes(bodies));
  expect_same_walks(walks_in_cells(nodes, threads, sized), walks_of_whole_tree(nodes, sized));
}

// A cell that held a dense cluster is split in the next tree (so it is no
// cell there) while the cluster moves elsewhere: what it held for the
// cluster, regions and walk slots, must be given back, in that tree and the
// ones after, while the walks stay those of the whole tree.
TEST(CellWalkTree, IdleCellsGiveBackWhatTheyHeld) {
  const auto bodies_with_cluster_at = [](double centre) {
    testing_support::Jitter jitter(5u);
    std::vector<Body> bodies;
    for (std::size_t i = 0; i < parallel_size; ++i) {
      bodies.push_back(i % 4 == 0 ? Body{500.0 + 1000.0 * jitter(), 500.0 + 1000.0 * jitter(), 1.0}
                                  : Body{centre + 5.0 * jitter(), centre + 5.0 * jitter(), 1.0});
    }
    return bodies;
  };
  const auto largest_idle_room = [](const quadtree::BuildScratch& scratch,
                                    const StepBuffers& buffers) {
    std::vector<bool> active(scratch.cells.size(), false);
    for (const std::uint32_t c : scratch.cell_order) active[c] = true;
    std::size_t largest = 0;
    for (std::size_t c = 0; c < scratch.cells.size(); ++c) {
      if (!active[c]) {
        largest = std::max({largest, scratch.cells[c].regions.capacity() / region_stride,
                            buffers.cell_walk_slots[c].capacity()});
      }
    }
    return largest;
  };
  WorkerPool pool(2);
  quadtree::BuildScratch scratch;
  StepBuffers buffers;
  prepare_in_cells(buffers, make_nodes(bodies_with_cluster_at(100.0)), pool, scratch);
  std::size_t largest_active = 0;
  for (const std::uint32_t c : scratch.cell_order) {
    largest_active = std::max(largest_active, scratch.cells[c].regions.capacity() / region_stride);
  }
  ASSERT_GT(largest_active, quadtree::max_idle_room);  // else nothing here to give back
  const NodeMatrix moved = make_nodes(bodies_with_cluster_at(900.0));
  for (int tree = 0; tree < 3; ++tree) {
    prepare_in_cells(buffers, moved, pool, scratch);
    EXPECT_LE(largest_idle_room(scratch, buffers), quadtree::max_idle_room) << "tree " << tree;
  }
  expect_same_walks(buffers, walks_of_whole_tree(moved, false));
}

INSTANTIATE_TEST_SUITE_P(Threads, CellWalkTree,
                         testing::Combine(testing::Values(1, 2, 3, 8), testing::Bool()),
                         [](const auto& test) {
                           return "threads" + std::to_string(std::get<0>(test.param)) +
                                  (std::get<1>(test.param) ? "_sized" : "");
                         });

// Degenerate starts put every node into one cell, or chains across the
// cells' boundary.
class DegenerateCellWalkTree
    : public testing::TestWithParam<std::tuple<Degenerate, std::size_t>> {};

TEST_P(DegenerateCellWalkTree, GivesTheWholeTreesWalks) {
  const auto [kind, threads] = GetParam();
  const NodeMatrix nodes = make_nodes(testing_support::degenerate_bodies(kind, parallel_size));
  expect_same_walks(walks_in_cells(nodes, threads, false), walks_of_whole_tree(nodes, false));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DegenerateCellWalkTree,
    testing::Combine(testing::ValuesIn(testing_support::every_degenerate),
                     testing::Values(std::size_t{2}, std::size_t{3})),
    [](const auto& test) {
      return testing_support::degenerate_name(std::get<0>(test.param)) + "_threads" +
             std::to_string(std::get<1>(test.param));
    });

}  // namespace
}  // namespace tallow
