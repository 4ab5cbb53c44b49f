// Barnes-Hut walks with node sizes at the leaves (StepBuffers::sized_leaves):
// the same bits as a plain recursive walk with the exact mode's sized pair
// rule, on every thread count; without the option, sizes change nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "iterate.hpp"
#include "kernel_test_support.hpp"
#include "layout.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "reference_step.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

void expect_same_matrix(const NodeMatrix& actual, const NodeMatrix& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_TRUE(same_bits(actual[i], expected[i]))
        << "node " << i / node_stride << ", slot " << i % node_stride;
  }
}

LayoutSettings sized_barnes_hut(double theta) {
  LayoutSettings settings;
  settings.barnesHutOptimize = true;
  settings.barnesHutTheta = theta;
  settings.adjustSizes = true;
  settings.scalingRatio = 1.5;
  return settings;
}

// Sizes from 0 to 3 in quarter steps, so that nodes of the clusters below
// overlap, touch exactly (d = 0) and stand apart.
void give_sizes(NodeMatrix& nodes, unsigned seed) {
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < nodes.size() / node_stride; ++i) {
    nodes[i * node_stride + slot::size] = static_cast<float>(rng() % 13) * 0.25f;
  }
}

// Clusters 10 wide with whole masses, some nodes on earlier ones.
std::vector<Body> clustered(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  const auto unit = [&] { return static_cast<double>(rng() % 1024) / 1024.0; };
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 29 == 7) {
      bodies.push_back(bodies[i / 2]);
      continue;
    }
    const double corner = static_cast<double>(i % 3) * 25.0;
    bodies.push_back({corner + 10 * unit(), 10 * unit() - corner, std::floor(1 + 4 * unit())});
  }
  return bodies;
}

// The sized walk of node i written as directly as possible: recursive, over
// the region matrix `t`, others read from `snapshot` (f32, widened on read).
struct SizedReference : testing_support::Reference {
  // How far from region r's point (mass centre, or a leaf's node) the discs
  // of the nodes in its leaves reach; NaN if any of them is NaN; -1 for an
  // empty leaf.
  static double radius(const std::vector<double>& t, const std::vector<float>& snapshot,
                       std::size_t r) {
    if (t[r + 5] < 0) {
      return t[r] >= 0 ? double{snapshot[static_cast<std::size_t>(t[r]) + slot::size]} : -1;
    }
    double widest = 0;
    bool nan_below = false;
    const std::size_t first = static_cast<std::size_t>(t[r + 5]);
    for (std::size_t c = first; c < first + 36; c += 9) {
      const double below = radius(t, snapshot, c);
      if (below == -1) continue;
      const bool leaf = t[c + 5] < 0;
      const std::size_t o = static_cast<std::size_t>(t[c]);
      const double cx = leaf ? double{snapshot[o]} : t[c + 7];
      const double cy = leaf ? double{snapshot[o + 1]} : t[c + 8];
      const double far = std::sqrt((t[r + 7] - cx) * (t[r + 7] - cx) +
                                   (t[r + 8] - cy) * (t[r + 8] - cy)) + below;
      nan_below = nan_below || std::isnan(far);
      widest = std::fmax(widest, far);
    }
    return nan_below ? std::numeric_limits<double>::quiet_NaN() : widest;
  }

  void sized_walk(std::size_t i, const std::vector<double>& t, const std::vector<float>& snapshot,
                  const std::vector<double>& radii, std::size_t r) {
    const double x = get(i, slot::x), y = get(i, slot::y), m = get(i, slot::mass);
    const double theta2 = s.barnesHutTheta * s.barnesHutTheta;
    if (t[r + 5] >= 0) {
      const double dX = x - t[r + 7], dY = y - t[r + 8], d2 = dX * dX + dY * dY;
      const double apart = get(i, slot::size) + radii[r / 9];
      if ((4 * t[r + 3] * t[r + 3]) / d2 < theta2 && d2 > apart * apart) {
        if (d2 > 0) {
          const double f = (t[r + 6] * (s.scalingRatio * m)) / d2;
          add(i, slot::dx, dX * f);
          add(i, slot::dy, dY * f);
        }
        return;
      }
      for (std::size_t c = 0; c < 4; ++c) {
        sized_walk(i, t, snapshot, radii, static_cast<std::size_t>(t[r + 5]) + 9 * c);
      }
    } else if (t[r] >= 0 && static_cast<std::size_t>(t[r]) != i * node_stride) {
      const std::size_t o = static_cast<std::size_t>(t[r]);
      const double dX = x - double{snapshot[o]}, dY = y - double{snapshot[o + 1]};
      const double d2 = dX * dX + dY * dY;
      if (!(d2 > 0)) return;
      const double mo = snapshot[o + slot::mass];
      const double d = std::sqrt(d2) - get(i, slot::size) - double{snapshot[o + slot::size]};
      double f;
      if (d > 0) {
        f = ((s.scalingRatio * m) * mo) / d / d;
      } else if (d < 0) {
        f = ((s.scalingRatio * 100) * m) * mo;
      } else {
        return;
      }
      add(i, slot::dx, dX * f);
      add(i, slot::dy, dY * f);
    }
  }

  void sized_repulsion(const std::vector<double>& tree) {
    const std::vector<float> snapshot = v;
    std::vector<double> radii;
    for (std::size_t r = 0; r < tree.size(); r += 9) radii.push_back(radius(tree, snapshot, r));
    for (std::size_t i = 0; i < v.size() / node_stride; ++i) {
      sized_walk(i, tree, snapshot, radii, 0);
    }
  }

  // Reference::step with the sized walk in place of the plain one.
  void sized_step(const std::vector<EdgeRecord>& edges) {
    const std::size_t n = v.size() / node_stride;
    for (std::size_t i = 0; i < n; ++i) {
      at(i, slot::old_dx) = at(i, slot::dx);
      at(i, slot::old_dy) = at(i, slot::dy);
      at(i, slot::dx) = 0.0f;
      at(i, slot::dy) = 0.0f;
    }
    sized_repulsion(testing_support::reference_tree(v));
    for (std::size_t i = 0; i < n; ++i) gravity(i);
    for (const EdgeRecord& e : edges) attract(e.source, e.target, e.weight, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      if (at(i, slot::fixed) != 1.0f) move(i);
    }
  }
};

// Two nodes of size 1 and mass 1: the sized walk gives each the exact mode's
// pair force with sizes (overlap x100, touching nothing, apart 1/d^2).
class TwoSizedNodes : public ::testing::TestWithParam<std::tuple<double, float, float>> {};

TEST_P(TwoSizedNodes, MeetInLeavesWithTheExactModesForce) {
  const auto [gap, first_dx, second_dx] = GetParam();
  NodeMatrix nodes = make_nodes({{0, 0}, {gap, 0}});
  LayoutSettings settings = sized_barnes_hut(1.2);
  settings.scalingRatio = 1.0;
  const RegionMatrix regions = quadtree::build(nodes);
  StepBuffers buffers;
  buffers.sized_leaves = true;
  repulsion_phase(settings, nodes, regions, buffers);
  EXPECT_TRUE(same_bits(nodes[slot::dx], first_dx));
  EXPECT_TRUE(same_bits(nodes[node_stride + slot::dx], second_dx));
  NodeMatrix exact = make_nodes({{0, 0}, {gap, 0}});
  settings.barnesHutOptimize = false;
  repulsion_phase(settings, exact, {});
  expect_same_matrix(nodes, exact);
}

INSTANTIATE_TEST_SUITE_P(SizedWalk, TwoSizedNodes,
                         ::testing::Values(std::tuple{1.5, -150.0f, 150.0f},
                                           std::tuple{3.0, -3.0f, 3.0f},
                                           std::tuple{2.0, 0.0f, 0.0f}));

// One repulsion phase over the kernel's own tree, both walk kinds (walk tree
// and region matrix), against the recursive reference on the same tree.
class SizedPhase : public ::testing::TestWithParam<std::tuple<std::size_t, double>> {};

TEST_P(SizedPhase, BothWalksMatchTheReferenceWalk) {
  const auto [n, theta] = GetParam();
  NodeMatrix start = make_nodes(clustered(n, 7));
  give_sizes(start, 11);
  const LayoutSettings settings = sized_barnes_hut(theta);
  const RegionMatrix regions = quadtree::build(start);

  NodeMatrix expected = start;
  SizedReference{{settings, expected}}.sized_repulsion({regions.begin(), regions.end()});

  NodeMatrix walked = start;
  StepBuffers buffers;
  buffers.sized_leaves = true;
  repulsion_phase(settings, walked, regions, buffers);
  expect_same_matrix(walked, expected);

  NodeMatrix matrix_walked = start;
  NodeSnapshot snapshot;
  take_snapshot(snapshot, start);
  std::vector<double> sizes;
  take_sizes(sizes, start);
  std::vector<double> reach;
  bh_region_reach(reach, regions, snapshot, sizes);
  for (std::size_t i = 0; i < n; ++i) {
    bh_node_repulsion_sized(std::span(matrix_walked).subspan(i * node_stride).first<node_stride>(),
                            i * node_stride, snapshot, sizes, reach, regions,
                            settings.scalingRatio, theta * theta);
  }
  expect_same_matrix(matrix_walked, expected);

  // The plain walk ignores sizes, so it must differ where nodes overlap.
  NodeMatrix plain = start;
  repulsion_phase(settings, plain, regions, buffers = StepBuffers{});
  EXPECT_NE(plain, walked);
}

INSTANTIATE_TEST_SUITE_P(SizedWalk, SizedPhase,
                         ::testing::Combine(::testing::Values(std::size_t{2}, std::size_t{400}),
                                            ::testing::Values(0.0, 0.5, 1.2)));

// Whole steps through run_layout on 1, 2, 3 and 8 threads: with the option,
// the bits of the reference step with the sized walk; without it, those of
// the plain reference step, sizes or not. 1,200 coincident nodes make a tree
// large enough to be written on the pool.
using StepCase = std::tuple<std::string, std::vector<Body>, double>;

class SizedSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(SizedSteps, MatchTheReferenceOnEveryThreadCount) {
  const auto& [name, bodies, theta] = GetParam();
  NodeMatrix start = make_nodes(bodies);
  give_sizes(start, 3);
  const std::size_t n = bodies.size();
  std::vector<EdgeRecord> edges;
  for (std::uint32_t i = 0; i + 1 < n; i += 2) {
    edges.push_back({i, (i + 5) % static_cast<std::uint32_t>(n), 1.0f});
  }
  LayoutSettings settings = sized_barnes_hut(theta);
  settings.strongGravityMode = true;
  constexpr std::uint32_t iterations = 3;
  for (const bool sized : {true, false}) {
    NodeMatrix expected = start;
    SizedReference reference{{settings, expected}};
    for (std::uint32_t k = 0; k < iterations; ++k) {
      sized ? reference.sized_step(edges) : reference.step(edges);
    }
    for (const std::uint64_t threads : {1u, 2u, 3u, 8u}) {
      SCOPED_TRACE(::testing::Message() << (sized ? "sized, " : "plain, ") << threads
                                        << " threads");
      NodeMatrix nodes = start;
      StepBuffers buffers;
      buffers.sized_leaves = sized;
      ASSERT_FALSE(run_layout(nodes, edges, settings, iterations, threads, {}, buffers));
      expect_same_matrix(nodes, expected);
    }
  }
}

std::vector<Body> degenerate(Degenerate kind, std::size_t n) {
  return testing_support::degenerate_bodies(kind, n);
}

INSTANTIATE_TEST_SUITE_P(
    SizedWalk, SizedSteps,
    ::testing::Values(StepCase{"clusters_500_theta_1_2", clustered(500, 5), 1.2},
                      StepCase{"clusters_500_theta_0", clustered(500, 5), 0.0},
                      StepCase{"coincident_1200", degenerate(Degenerate::coincident, 1200), 1.2},
                      StepCase{"with_nan_300", degenerate(Degenerate::with_nan, 300), 1.2},
                      StepCase{"infinite_300", degenerate(Degenerate::infinite, 300), 1.2},
                      StepCase{"mixed_chains_300",
                               degenerate(Degenerate::coincident_with_nan, 300), 0.5}),
    [](const auto& test) { return std::get<0>(test.param); });

}  // namespace
}  // namespace tallow
