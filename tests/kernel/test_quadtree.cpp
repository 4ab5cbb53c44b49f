#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <initializer_list>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "reference_step.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

void expect_regions(std::span<const double> actual, std::span<const double> expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(same_bits(actual[i], expected[i]))
        << "region at offset " << i / region_stride * region_stride << ", slot "
        << i % region_stride;
  }
}

void expect_regions(std::span<const double> actual, std::initializer_list<double> expected) {
  expect_regions(actual, std::span<const double>(expected.begin(), expected.size()));
}

TEST(Quadtree, NoNodesGiveTheRootAlone) {
  const RegionMatrix regions = quadtree::build({});
  expect_regions(regions, {-1, nan, nan, -inf, -1, -1, 0, 0, 0});
}

TEST(Quadtree, OneNodeFillsTheRoot) {
  expect_regions(quadtree::build(make_nodes({{3, 4}})), {0, 3, 4, 0, -1, -1, 0, 0, 0});
}

TEST(Quadtree, SplitsWhenSecondNodeArrives) {
  // The box (0..2, -0.5..1.5) is squared on y; the root's half_size is the full side.
  expect_regions(quadtree::build(make_nodes({{0, 0}, {2, 1}})),
                 {
                     -1, 1, 0.5, 2, -1, 9, 1, 0, 0,      // root: mass of the node it held
                     0, 0, -0.5, 1, 18, -1, 0, 0, 0,     // quadrant 0 holds node 0
                     -1, 0, 1.5, 1, 27, -1, 0, 0, 0,     //
                     -1, 2, -0.5, 1, 36, -1, 0, 0, 0,    //
                     10, 2, 1.5, 1, -1, -1, 0, 0, 0,     // quadrant 3 holds node 1
                 });
}

// Node 2 passes through the root (root mass 2, centre (1, 0)) although three
// nodes lie below it: node 1, whose arrival split the root, is not counted.
// Node 3 (mass 2) then moves the centre by the mass from before its arrival.
TEST(Quadtree, MassCountsOnlyNodesThatPassThrough) {
  RegionMatrix regions = quadtree::build(make_nodes({{0, 0}, {2, 1}, {2, 0}}));
  ASSERT_EQ(regions.size(), 45u);
  EXPECT_TRUE(same_bits(regions[region::mass], 2));
  EXPECT_TRUE(same_bits(regions[region::mass_center_x], 1));
  EXPECT_TRUE(same_bits(regions[region::mass_center_y], 0));
  EXPECT_TRUE(same_bits(regions[27 + region::node], 20));

  regions = quadtree::build(make_nodes({{0, 0}, {2, 1}, {2, 0}, {0, 2, 2}}));
  ASSERT_EQ(regions.size(), 45u);
  EXPECT_TRUE(same_bits(regions[region::mass], 4));
  EXPECT_TRUE(same_bits(regions[region::mass_center_x], 0.5));  // (0*2 + 1*2) / 4
  EXPECT_TRUE(same_bits(regions[region::mass_center_y], 1));    // (2*2 + 0*2) / 4
  EXPECT_TRUE(same_bits(regions[18 + region::node], 30));
}

TEST(Quadtree, CoincidentNodesStopAfterFourSplits) {
  const RegionMatrix regions = quadtree::build(make_nodes({{1, 1, 2}, {1, 1, 3}}));
  ASSERT_EQ(regions.size(), 153u);  // 17 regions: four splits
  int split = 0;
  int holding_first = 0;
  for (std::size_t r = 0; r < regions.size(); r += region_stride) {
    EXPECT_NE(regions[r + region::node], 10) << "the second node is in no leaf";
    if (regions[r + region::first_child] >= 0) {
      ++split;
      EXPECT_TRUE(same_bits(regions[r + region::mass], 2)) << "region " << r;
      EXPECT_TRUE(same_bits(regions[r + region::mass_center_x], 1));
      EXPECT_TRUE(same_bits(regions[r + region::mass_center_y], 1));
    }
    holding_first += regions[r + region::node] == 0 ? 1 : 0;
  }
  EXPECT_EQ(split, 4);
  EXPECT_EQ(holding_first, 1);
  // Always quadrant 3: the leaf four levels down is the last region appended.
  EXPECT_TRUE(same_bits(regions[144 + region::node], 0));
}

struct QuadrantCase {
  Body third;
  std::size_t leaf;  // offset of the root's child that must hold node 2
};

class QuadrantRule : public ::testing::TestWithParam<QuadrantCase> {};

// Root centre (1, 1): a coordinate on the centre line or NaN fails the
// less-than test and goes to the upper side of that axis.
TEST_P(QuadrantRule, CentreLineAndNaNGoUp) {
  const RegionMatrix regions = quadtree::build(make_nodes({{0, 0}, {2, 2}, GetParam().third}));
  ASSERT_EQ(regions.size(), 45u);
  EXPECT_TRUE(same_bits(regions[GetParam().leaf + region::node], 20));
  // A NaN coordinate leaves the bounding box as the other nodes make it.
  EXPECT_TRUE(same_bits(regions[region::center_x], 1));
  EXPECT_TRUE(same_bits(regions[region::center_y], 1));
  EXPECT_TRUE(same_bits(regions[region::half_size], 2));
}

INSTANTIATE_TEST_SUITE_P(Quadtree, QuadrantRule,
                         ::testing::Values(QuadrantCase{{1, 0}, 27}, QuadrantCase{{nan, 0}, 27},
                                           QuadrantCase{{0, 1}, 18}, QuadrantCase{{0, nan}, 18}));

TEST(Quadtree, ZeroMassMeetingZeroMassGivesNaNCentre) {
  const RegionMatrix regions = quadtree::build(make_nodes({{0, 0, 0}, {2, 1, 0}, {2, 0, 0}}));
  EXPECT_TRUE(std::isnan(regions[region::mass_center_x]));
  EXPECT_TRUE(std::isnan(regions[region::mass_center_y]));
}

// Three clusters of uniform squares with masses 1 to 4, from mt19937's raw
// output, which is the same everywhere (the library distributions are not).
std::vector<Body> scattered_bodies(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  const auto unit = [&] { return (static_cast<double>(rng()) + 0.5) * 0x1p-32; };
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    const double corner = static_cast<double>(i % 3) * 40.0;
    bodies.push_back({corner + 10 * unit(), 10 * unit(), std::floor(1 + 4 * unit())});
  }
  return bodies;
}

TEST(Quadtree, BuildIntoClearsTheReusedArray) {
  const NodeMatrix nodes = make_nodes(scattered_bodies(/*n=*/300, /*seed=*/1));
  RegionMatrix reused = quadtree::build(make_nodes(scattered_bodies(/*n=*/900, /*seed=*/2)));
  quadtree::build_into(reused, nodes);
  expect_regions(reused, quadtree::build(nodes));
}

// The next threading visits each region once, no node is in two leaves, and
// the root counts every node but node 1, whose arrival split it. (Close nodes
// may still be left out: they can share a quadrant through four splits.)
TEST(Quadtree, TreeInvariantsOnScatteredNodes) {
  const std::vector<Body> bodies = scattered_bodies(/*n=*/400, /*seed=*/3);
  const RegionMatrix regions = quadtree::build(make_nodes(bodies));
  const std::size_t count = regions.size() / region_stride;
  ASSERT_EQ(regions.size() % (4 * region_stride), region_stride);

  std::vector<int> visits(count, 0);
  std::vector<int> leaves_holding(bodies.size(), 0);
  for (double r = 0; r >= 0;) {
    const auto at = static_cast<std::size_t>(r);
    ++visits[at / region_stride];
    if (regions[at + region::first_child] >= 0) {
      r = regions[at + region::first_child];
      continue;
    }
    EXPECT_TRUE(same_bits(regions[at + region::mass], 0)) << "leaves carry no mass";
    if (regions[at + region::node] >= 0) {
      ++leaves_holding[static_cast<std::size_t>(regions[at + region::node]) / node_stride];
    }
    r = regions[at + region::next];
  }
  EXPECT_EQ(visits, std::vector<int>(count, 1));
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_LE(leaves_holding[i], 1) << "node " << i;
  }

  double total = 0;
  for (const Body& b : bodies) {
    total += b.mass;
  }
  EXPECT_TRUE(same_bits(regions[region::mass], total - bodies[1].mass));
}

// Coincident and NaN nodes pile up in chains whose masses the build works
// out after the insertions; every bit must still be that of inserting each
// node by descending the whole tree. 1,200 coincident nodes make a chain of
// 4,800 levels.
class DegenerateTrees
    : public ::testing::TestWithParam<std::tuple<Degenerate, std::size_t>> {};

TEST_P(DegenerateTrees, MatchTheReferenceTreeBitForBit) {
  const auto [kind, n] = GetParam();
  const NodeMatrix nodes = make_nodes(testing_support::degenerate_bodies(kind, n));
  expect_regions(quadtree::build(nodes), testing_support::reference_tree(nodes));
}

INSTANTIATE_TEST_SUITE_P(
    Quadtree, DegenerateTrees,
    ::testing::Combine(::testing::ValuesIn(testing_support::every_degenerate),
                       ::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{300},
                                         std::size_t{1200})),
    [](const auto& test) {
      return testing_support::degenerate_name(std::get<0>(test.param)) + "_" +
             std::to_string(std::get<1>(test.param));
    });

// A chain noted only after nodes have descended it eagerly, then entered by
// nodes at its point and elsewhere (NaN) in turn, at two points at once.
TEST(Quadtree, ChainsNotedLateMatchTheReferenceTree) {
  std::vector<Body> bodies;
  for (int i = 0; i < 60; ++i) {
    bodies.push_back({i % 2 == 0 ? 1.5 : -2.5, 0.25, 1.0 + i % 3});
    if (i % 9 == 4) bodies.push_back({std::numeric_limits<double>::quiet_NaN(), 0.25, 2.0});
  }
  const NodeMatrix nodes = make_nodes(bodies);
  expect_regions(quadtree::build(nodes), testing_support::reference_tree(nodes));
}

// For the walks, chain levels whose opening is not finite keep the mass and
// mass centre of their split: nothing else of the tree may differ, and below
// one infinite coordinate such levels make up the chain.
class WalkedRegions : public ::testing::TestWithParam<Degenerate> {};

TEST_P(WalkedRegions, DifferOnlyInCentresNoWalkReads) {
  const NodeMatrix nodes = make_nodes(testing_support::degenerate_bodies(GetParam(), 300));
  const RegionMatrix every = quadtree::build(nodes);
  RegionMatrix walked;
  quadtree::build_into(walked, nodes, quadtree::Centres::walked_regions);
  ASSERT_EQ(walked.size(), every.size());
  std::size_t unworked = 0;
  for (std::size_t r = 0; r < every.size(); r += region_stride) {
    const double half = every[r + region::half_size];
    const bool read = 4.0 * half * half < inf;
    bool same_centre = true;
    for (std::size_t s = 0; s < region_stride; ++s) {
      const bool same = same_bits(walked[r + s], every[r + s]);
      const bool centre = s == region::mass || s == region::mass_center_x ||
                          s == region::mass_center_y;
      EXPECT_TRUE(same || (centre && !read)) << "region at offset " << r << ", slot " << s;
      same_centre = same_centre && (same || !centre);
    }
    unworked += same_centre ? 0 : 1;
  }
  if (GetParam() == Degenerate::infinite) {
    // Each chain level is one region of four: nearly a quarter of them.
    EXPECT_GT(unworked, every.size() / region_stride / 5) << "chain centres worked out";
  }
}

INSTANTIATE_TEST_SUITE_P(Quadtree, WalkedRegions,
                         ::testing::ValuesIn(testing_support::every_degenerate),
                         [](const auto& test) {
                           return testing_support::degenerate_name(test.param);
                         });

}  // namespace
}  // namespace tallow
