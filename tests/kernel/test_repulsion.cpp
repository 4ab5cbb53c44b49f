#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernel_test_support.hpp"
#include "fatal.hpp"
#include "iterate.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "opening_test.hpp"
#include "quadtree.hpp"
#include "reference_step.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

LayoutSettings barnes_hut(double theta) {
  LayoutSettings settings;
  settings.barnesHutOptimize = true;
  settings.barnesHutTheta = theta;
  return settings;
}

void expect_force(const NodeMatrix& nodes, std::size_t index, double dx, double dy) {
  EXPECT_TRUE(same_bits(nodes[index * node_stride + slot::dx], static_cast<float>(dx)))
      << "dx of node " << index;
  EXPECT_TRUE(same_bits(nodes[index * node_stride + slot::dy], static_cast<float>(dy)))
      << "dy of node " << index;
}

void expect_same_matrix(const NodeMatrix& actual, const NodeMatrix& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_TRUE(same_bits(actual[i], expected[i])) << "node " << i / node_stride << ", slot "
                                                   << i % node_stride;
  }
}

// The indices of the nodes held by leaves, in array order.
std::vector<std::size_t> leaf_nodes(const RegionMatrix& regions) {
  std::vector<std::size_t> held;
  for (std::size_t r = 0; r < regions.size(); r += region_stride) {
    if (regions[r + region::node] >= 0) {
      held.push_back(static_cast<std::size_t>(regions[r + region::node]) / node_stride);
    }
  }
  return held;
}

void run_phase(const LayoutSettings& settings, NodeMatrix& nodes) {
  const RegionMatrix regions =
      settings.barnesHutOptimize ? quadtree::build(nodes) : RegionMatrix{};
  repulsion_phase(settings, nodes, regions);
}

// Three clusters of uniform squares with varied masses, and a few nodes placed
// on earlier ones (twins), which the tree leaves out. mt19937's raw output is
// the same everywhere, unlike the library's distributions.
std::vector<Body> clustered_bodies(std::size_t n, unsigned seed, bool twins = true) {
  std::mt19937 rng(seed);
  const auto unit = [&] { return (static_cast<double>(rng()) + 0.5) * 0x1p-32; };
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    if (twins && i % 37 == 5) {
      bodies.push_back(bodies[i / 2]);
      continue;
    }
    const double corner = static_cast<double>(i % 3) * 30.0;
    bodies.push_back({corner + 10 * unit(), 10 * unit() - corner, std::floor(1 + 5 * unit())});
  }
  return bodies;
}

TEST(Repulsion, ExactPairRoundsEachForceToF32) {
  NodeMatrix nodes = make_nodes({{0, 0, 1}, {3, 4, 2}});
  repulsion_phase(LayoutSettings{}, nodes, {});  // f = 2 / 5 / 5 = 0.08
  expect_force(nodes, 1, 0.23999999463558197, 0.3199999928474426);
  expect_force(nodes, 0, -0.23999999463558197, -0.3199999928474426);
}

struct SizesCase {
  double x1;
  double dx1;
  double dx0;
};

class ExactWithSizes : public ::testing::TestWithParam<SizesCase> {};

// Sizes 1: at 1.5 the nodes overlap (d = -0.5, f = 100); at 3, d = 1; at 2
// they touch (d = 0) and exert nothing.
TEST_P(ExactWithSizes, ReducesTheDistanceByBothSizes) {
  LayoutSettings settings;
  settings.adjustSizes = true;
  NodeMatrix nodes = make_nodes({{0, 0}, {GetParam().x1, 0}});
  repulsion_phase(settings, nodes, {});
  expect_force(nodes, 1, GetParam().dx1, 0);
  expect_force(nodes, 0, GetParam().dx0, 0);
}

INSTANTIATE_TEST_SUITE_P(Repulsion, ExactWithSizes,
                         ::testing::Values(SizesCase{1.5, 150, -150}, SizesCase{3, 3, -3},
                                           SizesCase{2, 0, 0}));

// Sizes 1 at spacing 2: neighbours touch (d = 0) and exert nothing, whichever
// part of the pair loop meets them; the others are apart (d = 2 and d = 4).
TEST(Repulsion, TouchingNodesExertNothingWithSizes) {
  LayoutSettings settings;
  settings.adjustSizes = true;
  NodeMatrix nodes = make_nodes({{0, 0}, {2, 0}, {4, 0}, {6, 0}});
  repulsion_phase(settings, nodes, {});
  expect_force(nodes, 0, -1.375, 0);  // from node 2: 4 / 2 / 2, from node 3: 6 / 4 / 4
  expect_force(nodes, 1, -1, 0);
  expect_force(nodes, 2, 1, 0);
  expect_force(nodes, 3, 1.375, 0);
}

LayoutSettings with_sizes() {
  LayoutSettings settings;
  settings.adjustSizes = true;
  return settings;
}

class EveryMode : public ::testing::TestWithParam<LayoutSettings> {};

TEST_P(EveryMode, CoincidentNodesExertNoForce) {
  NodeMatrix nodes = make_nodes({{2, 2}, {2, 2}});
  run_phase(GetParam(), nodes);
  expect_force(nodes, 0, 0, 0);
  expect_force(nodes, 1, 0, 0);
}

TEST_P(EveryMode, NoNodeOrOneNodeGetsNoForce) {
  NodeMatrix none;
  run_phase(GetParam(), none);
  EXPECT_TRUE(none.empty());
  NodeMatrix one = make_nodes({{5, -3, 2}});
  const NodeMatrix before = one;
  run_phase(GetParam(), one);
  expect_same_matrix(one, before);
}

INSTANTIATE_TEST_SUITE_P(Repulsion, EveryMode,
                         ::testing::Values(LayoutSettings{}, with_sizes(), barnes_hut(0.5)));

class ThreeNodes : public ::testing::TestWithParam<double> {};

// Root half_size 2, mass 2, mass centre (1, 0): 4 * 2 * 2 / d2 is 16 for nodes
// 0 and 2 (they open it and meet the leaves) and 8 for node 1 (it takes the
// root as one body). A ratio equal to theta2 (theta 4) still opens; a negative
// theta counts by its square.
TEST_P(ThreeNodes, BarnesHutWalkOpensOnlyFarEnoughRegions) {
  const LayoutSettings settings = barnes_hut(GetParam());
  const NodeMatrix start = make_nodes({{0, 0}, {2, 1}, {2, 0}});
  NodeMatrix by_phase = start;
  run_phase(settings, by_phase);
  expect_force(by_phase, 0, static_cast<float>(-0.9), static_cast<float>(-0.2));
  expect_force(by_phase, 1, 1, 1);
  expect_force(by_phase, 2, 0.5, -1);

  NodeMatrix by_matrix = start;  // the region-matrix walk gives the same
  const RegionMatrix regions = quadtree::build(start);
  NodeSnapshot snapshot;
  take_snapshot(snapshot, start);
  for (std::size_t k = 0; k < 3; ++k) {
    bh_node_repulsion(settings, std::span(by_matrix).subspan(k * node_stride).first<node_stride>(),
                      k * node_stride, snapshot, regions, /*coefficient=*/1,
                      /*theta2=*/GetParam() * GetParam());
  }
  expect_same_matrix(by_matrix, by_phase);
}

INSTANTIATE_TEST_SUITE_P(Repulsion, ThreeNodes, ::testing::Values(3.0, -3.0, 4.0));

// The walk tree and order against the plain region-matrix walk in node order:
// every node's force must agree bit for bit, whatever order the walks ran in.
class WalkAgreement : public ::testing::TestWithParam<double> {};

TEST_P(WalkAgreement, SpatialOrderEqualsIndexOrderBitForBit) {
  const LayoutSettings settings = barnes_hut(GetParam());
  const NodeMatrix start = make_nodes(clustered_bodies(/*n=*/400, /*seed=*/7));
  const RegionMatrix regions = quadtree::build(start);

  NodeMatrix by_phase = start;
  StepBuffers buffers;
  repulsion_phase(settings, by_phase, regions, buffers);

  NodeMatrix by_index = start;
  NodeSnapshot snapshot;
  take_snapshot(snapshot, start);
  const double theta2 = GetParam() * GetParam();
  for (std::size_t k = 0; k < start.size() / node_stride; ++k) {
    bh_node_repulsion(settings, std::span(by_index).subspan(k * node_stride).first<node_stride>(),
                      k * node_stride, snapshot, regions, settings.scalingRatio, theta2);
  }
  expect_same_matrix(by_phase, by_index);
}

INSTANTIATE_TEST_SUITE_P(Repulsion, WalkAgreement, ::testing::Values(0.0, 0.5, 1.2, 3.0));

TEST(Repulsion, WalkOrderHasEveryNodeOnceLeftOutNodesLast) {
  const NodeMatrix nodes = make_nodes(clustered_bodies(/*n=*/300, /*seed=*/3));
  const std::size_t n = nodes.size() / node_stride;
  const RegionMatrix regions = quadtree::build(nodes);
  std::vector<std::uint32_t> order;
  bh_walk_order(order, regions, n);

  std::vector<std::uint32_t> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint32_t> all(n);
  std::iota(all.begin(), all.end(), 0u);
  EXPECT_EQ(sorted, all);

  std::vector<bool> in_leaf(n, false);
  const std::vector<std::size_t> held = leaf_nodes(regions);
  for (const std::size_t k : held) {
    in_leaf[k] = true;
  }
  const std::size_t first_left_out = held.size();
  ASSERT_LT(first_left_out, n) << "the coincident nodes must leave some out";
  for (std::size_t p = 0; p < n; ++p) {
    EXPECT_EQ(in_leaf[order[p]], p < first_left_out) << "position " << p;
  }
  EXPECT_TRUE(std::is_sorted(order.begin() + static_cast<std::ptrdiff_t>(first_left_out), order.end()));

  StepBuffers buffers;
  bh_prepare_walks(buffers, nodes, regions);
  EXPECT_EQ(buffers.walk_order, order);
}

// Theta 0 opens every region, so each node meets every other node in its leaf:
// the exact sum up to rounding (one division by d2, another order). A node the
// tree left out is met by nobody, so this seed is one without such nodes.
TEST(Repulsion, ThetaZeroApproachesTheExactSum) {
  NodeMatrix exact = make_nodes(clustered_bodies(/*n=*/150, /*seed=*/17, /*twins=*/false));
  const RegionMatrix regions = quadtree::build(exact);
  ASSERT_EQ(leaf_nodes(regions).size(), exact.size() / node_stride) << "every node in a leaf";
  NodeMatrix approximate = exact;
  run_phase(LayoutSettings{}, exact);
  run_phase(barnes_hut(0), approximate);
  for (std::size_t i = 0; i < exact.size(); i += node_stride) {
    for (const std::size_t s : {slot::dx, slot::dy}) {
      EXPECT_NEAR(approximate[i + s], exact[i + s], 1e-4 * std::abs(exact[i + s]) + 1e-6)
          << "node " << i / node_stride;
    }
  }
}

TEST(Repulsion, NegativeThetaActsLikeItsAbsoluteValue) {
  NodeMatrix negative = make_nodes(clustered_bodies(/*n=*/150, /*seed=*/9));
  NodeMatrix positive = negative;
  run_phase(barnes_hut(-0.7), negative);
  run_phase(barnes_hut(0.7), positive);
  expect_same_matrix(negative, positive);
}

// A straightforward transcription of the exact mode, to hold the fast pair
// loop to: i from 1 up, j below i, i then j, stored after every pair.
void reference_exact(const LayoutSettings& settings, NodeMatrix& nodes) {
  auto v = [&](std::size_t i, std::size_t s) -> float& { return nodes[i * node_stride + s]; };
  for (std::size_t i = 1; i < nodes.size() / node_stride; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const double dX = double{v(i, slot::x)} - double{v(j, slot::x)};
      const double dY = double{v(i, slot::y)} - double{v(j, slot::y)};
      const double d2 = dX * dX + dY * dY;
      const double mm = settings.scalingRatio * double{v(i, slot::mass)} * double{v(j, slot::mass)};
      double f = 0;
      if (settings.adjustSizes) {
        const double d = std::sqrt(d2) - double{v(i, slot::size)} - double{v(j, slot::size)};
        if (!(d > 0 || d < 0)) {
          continue;
        }
        f = d > 0 ? mm / d / d : settings.scalingRatio * 100 * double{v(i, slot::mass)} * double{v(j, slot::mass)};
      } else {
        if (!(d2 > 0)) {
          continue;
        }
        f = mm / std::sqrt(d2) / std::sqrt(d2);
      }
      v(i, slot::dx) = static_cast<float>(double{v(i, slot::dx)} + dX * f);
      v(i, slot::dy) = static_cast<float>(double{v(i, slot::dy)} + dY * f);
      v(j, slot::dx) = static_cast<float>(double{v(j, slot::dx)} - dX * f);
      v(j, slot::dy) = static_cast<float>(double{v(j, slot::dy)} - dY * f);
    }
  }
}

class ExactModes : public ::testing::TestWithParam<LayoutSettings> {};

// Odd and even counts, a coincident pair, a NaN node, varied sizes and a
// scaling ratio that is not 1, so every lane and tail of the pair loop is hit.
TEST_P(ExactModes, MatchAStraightforwardLoop) {
  for (const std::size_t n : {40u, 41u}) {
    std::vector<Body> bodies = clustered_bodies(n, /*seed=*/static_cast<unsigned>(n));
    bodies[17] = {nan, 1.0, 2.0};
    NodeMatrix fast = make_nodes(bodies);
    for (std::size_t i = 0; i < n; ++i) {
      fast[i * node_stride + slot::size] = static_cast<float>(i % 4) * 0.75f;
      fast[i * node_stride + slot::dx] = static_cast<float>(i) * -0.125f;  // forces add on
    }
    NodeMatrix reference = fast;
    LayoutSettings settings = GetParam();
    settings.scalingRatio = 1.7;
    repulsion_phase(settings, fast, {});
    reference_exact(settings, reference);
    expect_same_matrix(fast, reference);
  }
}

INSTANTIATE_TEST_SUITE_P(Repulsion, ExactModes, ::testing::Values(LayoutSettings{}, with_sizes()));

// A NaN position: exact modes skip its pairs; the Barnes-Hut walk opens the
// regions whose mass centre it turned NaN and adds nothing for its leaf.
TEST_P(EveryMode, NaNNodeGetsNothingAndGivesNothing) {
  NodeMatrix with_nan = make_nodes({{0, 0}, {nan, 1}, {3, 4, 2}, {-2, 5}});
  NodeMatrix without = make_nodes({{0, 0}, {3, 4, 2}, {-2, 5}});
  run_phase(GetParam(), with_nan);
  run_phase(GetParam(), without);
  expect_force(with_nan, 1, 0, 0);
  for (const auto& [a, b] : {std::pair{0u, 0u}, std::pair{2u, 1u}, std::pair{3u, 2u}}) {
    if (GetParam().barnesHutOptimize) {  // the tree differs; forces must stay finite
      EXPECT_TRUE(std::isfinite(with_nan[a * node_stride + slot::dx])) << "node " << a;
      continue;
    }
    EXPECT_TRUE(same_bits(with_nan[a * node_stride + slot::dx], without[b * node_stride + slot::dx]));
    EXPECT_TRUE(same_bits(with_nan[a * node_stride + slot::dy], without[b * node_stride + slot::dy]));
  }
}

template <class Call>
void expect_fatal(Call&& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "expected the internal error: " << text;
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()), text);
  }
}

// A leaf that names a node past the node matrix is a broken invariant, fatal
// in either walk, never a silent skip.
TEST(Repulsion, LeafBeyondTheNodesIsFatal) {
  NodeMatrix nodes = make_nodes({{0, 0}, {1, 1}});
  const RegionMatrix regions = {50, 0, 0, 1, -1, -1, 0, 0, 0};
  expect_fatal([&] { repulsion_phase(barnes_hut(0.5), nodes, regions); },
               "index out of bounds: the len is 20 but the index is 56");
  NodeSnapshot snapshot;
  take_snapshot(snapshot, nodes);
  expect_fatal(
      [&] {
        bh_node_repulsion(barnes_hut(0.5), std::span(nodes).first<node_stride>(), 0, snapshot,
                          regions, 1, 0.25);
      },
      "index out of bounds: the len is 6 but the index is 17");
  expect_fatal([&] { repulsion_phase(barnes_hut(0.5), nodes, {}); },
               "index out of bounds: the len is 0 but the index is 8");
}

// Runs the ranges of [0, count) seven regions at a time, last range first,
// the way no single thread would.
void in_small_ranges_backwards(std::size_t count, const RangeBody& body) {
  for (std::size_t end = count; end > 0;) {
    const std::size_t begin = end > 7 ? end - 7 : 0;
    body(begin, end);
    end = begin;
  }
}

void on_pool_of_three(std::size_t count, const RangeBody& body) {
  static WorkerPool pool(3);
  pool.for_each(count, body);
}

// The records are written range by range, possibly at once; any split of the
// regions must give the tree and the order of one pass on the calling thread.
TEST(Repulsion, WalkTreeIsTheSameForEverySplitOfItsBuild) {
  const NodeMatrix nodes = make_nodes(clustered_bodies(/*n=*/900, /*seed=*/11));
  const RegionMatrix regions = quadtree::build(nodes);
  StepBuffers whole;
  bh_prepare_walks(whole, nodes, regions);
  for (const ForEachRange& split : {ForEachRange(in_small_ranges_backwards),
                                    ForEachRange(on_pool_of_three)}) {
    StepBuffers split_up;
    bh_prepare_walks(split_up, nodes, regions, split);
    EXPECT_EQ(split_up.walk_order, whole.walk_order);
    EXPECT_EQ(split_up.walk_tree.skip, whole.walk_tree.skip);
    ASSERT_EQ(split_up.walk_tree.records.size(), whole.walk_tree.records.size());
    for (std::size_t r = 0; r < whole.walk_tree.records.size(); ++r) {
      using Bits = std::array<std::uint64_t, 4>;
      EXPECT_EQ(std::bit_cast<Bits>(split_up.walk_tree.records[r]),
                std::bit_cast<Bits>(whole.walk_tree.records[r]))
          << "record " << r;
    }
  }
}

// A root with four leaves; `held` names each leaf's node index (-1: empty).
RegionMatrix root_with_leaves(const std::array<double, 4>& held) {
  RegionMatrix regions = {-1, 0, 0, 2, -1, 9, 1, 0, 0};
  for (std::size_t q = 0; q < 4; ++q) {
    const double next = q < 3 ? static_cast<double>(9 * (q + 2)) : -1.0;
    const double node = held[q] < 0 ? -1.0 : held[q] * node_stride;
    regions.insert(regions.end(), {node, 0, 0, 1, next, -1, 0, 0, 0});
  }
  return regions;
}

// Two leaves holding one node: more leaves than nodes, or as many with one
// node left out. Either way the build names the node, whatever its split.
TEST(Repulsion, NodeHeldByTwoLeavesIsFatal) {
  for (const ForEachRange& split : {ForEachRange(on_calling_thread),
                                    ForEachRange(on_pool_of_three)}) {
    const NodeMatrix two = make_nodes({{0, 0}, {1, 1}});
    StepBuffers buffers;
    expect_fatal([&] { bh_prepare_walks(buffers, two, root_with_leaves({1, 1, -1, 0}), split); },
                 "broken region tree: node 1 is held by two leaves");
    const NodeMatrix three = make_nodes({{0, 0}, {1, 1}, {2, 2}});
    expect_fatal([&] { bh_prepare_walks(buffers, three, root_with_leaves({0, -1, 2, 0}), split); },
                 "broken region tree: node 0 is held by two leaves");
  }
}

TEST(Repulsion, WalkOrderRefusesMoreNodesThan32BitIndices) {
  std::vector<std::uint32_t> order;
  expect_fatal([&] { bh_walk_order(order, {}, std::size_t{1} << 33); },
               "capacity overflow: 8589934592 nodes are too many to number with 32-bit indices");
}

// A hand-made walk tree with a dead region (NaN mass centre) over a region
// and a leaf at (1, 2), a dead leaf, and a leaf at (1, 9): a walk may skip
// the first subtree only from (1, 2) itself. Each visitor's force must be
// that of the same walk with shortcuts that never jump (next record, mixed).
TEST(Repulsion, WalkShortcutsChangeNoBit) {
  WalkTree tree;
  tree.records = {{nan, 0, 5, 16},  {1, 2, 4, 100}, {1, 2, 3, -8},
                  {nan, 5, 1, -9}, {1, 9, 2, -10}};
  tree.skip = {4, 4, 3, 4, 5};
  bh_mark_shortcuts(tree);
  WalkTree plain = tree;
  for (std::uint32_t r = 0; r < plain.shortcuts.size(); ++r) {
    plain.shortcuts[r] = {r + 1, walk_mixed};
  }
  for (const auto& [x, y] : {std::pair{1.0, 2.0}, {1.0, 5.0}, {4.0, 2.0}, {1.0, 9.0}, {nan, 2.0},
                             {-3.0, 0.0}}) {
    SCOPED_TRACE(::testing::Message() << "visitor at (" << x << ", " << y << ")");
    NodeMatrix shortcut = make_nodes({{x, y, 2.0}});
    NodeMatrix walked = shortcut;
    for (const double theta2 : {1.44, 0.0}) {
      bh_node_repulsion(std::span(shortcut).first<node_stride>(), 0, tree, 1.0, theta2);
      bh_node_repulsion(std::span(walked).first<node_stride>(), 0, plain, 1.0, theta2);
      expect_same_matrix(shortcut, walked);
    }
  }
  EXPECT_EQ(tree.shortcuts[0].same_point, 1u);
}

// Walks that meet chains of coincident, infinite or NaN regions jump them;
// two whole steps on 1, 2, 3 and 8 threads must still give the bits of the
// plain reference step, which walks every region. 1,200 coincident nodes make
// a tree large enough for the walk tree to be written on the pool.
class DegenerateSteps
    : public ::testing::TestWithParam<std::tuple<Degenerate, std::size_t, double>> {};

TEST_P(DegenerateSteps, MatchTheReferenceStepOnEveryThreadCount) {
  const auto [kind, n, theta] = GetParam();
  const NodeMatrix start = make_nodes(testing_support::degenerate_bodies(kind, n));
  std::vector<EdgeRecord> edges;
  for (std::uint32_t i = 0; i + 1 < n; i += 2) {
    edges.push_back({i, (i + 3) % static_cast<std::uint32_t>(n), 1.0f});
  }
  LayoutSettings settings = barnes_hut(theta);
  settings.strongGravityMode = true;
  constexpr std::uint32_t iterations = 2;
  NodeMatrix expected = start;
  testing_support::Reference reference{settings, expected};
  for (std::uint32_t k = 0; k < iterations; ++k) {
    reference.step(edges);
  }
  for (const std::uint64_t threads : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads");
    NodeMatrix nodes = start;
    ASSERT_FALSE(run_layout(nodes, edges, settings, iterations, threads, {}));
    expect_same_matrix(nodes, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Repulsion, DegenerateSteps,
    ::testing::Combine(::testing::ValuesIn(testing_support::every_degenerate),
                       ::testing::Values(std::size_t{300}, std::size_t{1200}),
                       ::testing::Values(1.2, 0.0)),
    [](const auto& test) {
      return testing_support::degenerate_name(std::get<0>(test.param)) + "_" +
             std::to_string(std::get<1>(test.param)) + "_theta_" +
             (std::get<2>(test.param) == 0.0 ? "0" : "1_2");
    });

// The opening test decides as the division does, also where the quotient
// lies a few ulps from theta2, at the ends of the exponent range and for
// every special value.
TEST(OpeningTest, DecidesAsTheDivision) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const auto by_division = [](double opening, double d2, double theta2) {
    const double ratio = opening / d2;
    if (ratio < theta2) return Opening::stands;
    return ratio < inf ? Opening::opens : Opening::opens_without_ratio;
  };
  const std::vector<double> specials = {
      0.0, -0.0, 0x1p-1074, 0x1p-1022, 0x1p-600, 1.0, 0x1p600, 0x1p1000,
      std::numeric_limits<double>::max(), inf, std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 random(11u);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-1074, 1023);
  std::size_t mismatches = 0;
  for (const double theta2 : {1.44, 0.25, 1.0, 2.0 / 3.0, 0.0, 0x1p-1060, 0x1p-1000, 0x1p900, 1e300,
                              inf, nan}) {
    const OpeningTest test(theta2);
    const auto check = [&](double opening, double d2) {
      if (test.of(opening, d2) != by_division(opening, d2, theta2) && ++mismatches <= 5) {
        ADD_FAILURE() << std::hexfloat << "opening " << opening << ", d2 " << d2 << ", theta2 "
                      << theta2;
      }
    };
    for (const double opening : specials) {
      for (const double d2 : specials) check(opening, d2);
    }
    for (int k = 0; k < 100000; ++k) {
      const double d2 = std::ldexp(mantissa(random), exponent(random));
      // Quotients next to theta2, a few ulps either way, and anywhere.
      double opening = d2 * theta2;
      for (int step = 0; step < 4; ++step) opening = std::nextafter(opening, 0.0);
      for (int step = 0; step < 9; ++step, opening = std::nextafter(opening, inf)) {
        check(opening, d2);
      }
      check(std::ldexp(mantissa(random), exponent(random)), d2);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace tallow
