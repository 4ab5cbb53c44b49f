// Exact repulsion runs several rows at once, on every vector path the CPU
// has, and on the pool in tiles; each node must still take its pairs in the
// sequential order, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "exact_lanes.hpp"
#include "iterate.hpp"
#include "kernel_test_support.hpp"
#include "node_phases.hpp"
#include "reference_step.hpp"
#include "worker_pool.hpp"

namespace tallow {
namespace {

using testing_support::same_bits;

// Scattered nodes with masses 1 to 5 and sizes 0.5 to 2 (so that many pairs
// overlap with adjustSizes), forces already non-zero (an order change would
// round differently), coincident pairs, a node sitting at another's spot and
// a NaN node whose forces are -0 (no pair of it exerts a force, so they must
// stay -0).
NodeMatrix exact_nodes(std::size_t n) {
  testing_support::Jitter jitter(5u);
  std::vector<testing_support::Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    bodies.push_back({20.0 * jitter(), 20.0 * jitter(), 1.0 + static_cast<double>(i % 5)});
  }
  bodies[7] = bodies[3];
  bodies[n - 2] = bodies[n / 2];
  const std::size_t nan_node = n / 3;
  bodies[nan_node].x = std::numeric_limits<double>::quiet_NaN();
  NodeMatrix nodes = testing_support::make_nodes(bodies);
  for (std::size_t i = 0; i < n; ++i) {
    float* node = nodes.data() + i * node_stride;
    node[slot::dx] = i == nan_node ? -0.0f : static_cast<float>(jitter());
    node[slot::dy] = i == nan_node ? -0.0f : static_cast<float>(jitter());
    node[slot::size] = static_cast<float>(0.5 + 1.5 * (jitter() + 0.5));
  }
  return nodes;
}

// Nodes at the ends of the float ranges, cycling through four kinds: nodes
// of size 0 a few subnormal steps either side of the origin (contributions
// overflow to +-inf as they are rounded); nodes at coordinates near +-3e38
// with no force yet (contributions, and some forces, are subnormal); pairs
// of size-1 nodes exactly 2 apart (they touch: no force with adjustSizes);
// and ordinary scattered nodes.
NodeMatrix extreme_nodes(std::size_t n) {
  testing_support::Jitter jitter(11u);
  std::vector<testing_support::Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    const auto real = [](std::size_t k) { return static_cast<double>(k); };
    switch (i % 4) {
      case 0:  // x from -2 to 4 subnormal steps, y up by one step every four nodes
        bodies.push_back({(real(i % 7) - 2.0) * 0x1p-149, real(i / 4) * 0x1p-149, 1.0});
        break;
      case 1:
        bodies.push_back({(i % 8 == 1 ? 3e38 : -3e38), 1e37 * real(i % 3), 0.2});
        break;
      case 2:  // node i and node i + 16 two apart (in different groups of rows)
        bodies.push_back({2.0 * real(i / 16 % 2) + 40.0 * real(i / 32), 10.0 * real(i / 4 % 4),
                          1.0});
        break;
      default:
        bodies.push_back({20.0 * jitter(), 20.0 * jitter(), 1.0 + static_cast<double>(i % 5)});
    }
  }
  NodeMatrix nodes = testing_support::make_nodes(bodies);
  for (std::size_t i = 0; i < n; ++i) {
    float* node = nodes.data() + i * node_stride;
    const bool far = i % 4 == 1;
    node[slot::dx] = far ? 0.0f : static_cast<float>(jitter());
    node[slot::dy] = far ? -0.0f : static_cast<float>(jitter());
    node[slot::size] = i % 4 == 0   ? 0.0f
                       : i % 4 == 2 ? 1.0f
                                    : static_cast<float>(0.5 + 1.5 * (jitter() + 0.5));
  }
  return nodes;
}

NodeMatrix reference_repulsion(const LayoutSettings& settings, NodeMatrix nodes) {
  testing_support::Reference reference{settings, nodes};
  const std::size_t n = nodes.size() / node_stride;
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) reference.repel(i, j);
  }
  return nodes;
}

void expect_same_forces(const NodeMatrix& actual, const NodeMatrix& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_TRUE(same_bits(actual[i], expected[i]))
        << "node " << i / node_stride << ", slot " << i % node_stride;
  }
}

LayoutSettings exact_settings(bool sizes) {
  LayoutSettings s;
  s.adjustSizes = sizes;
  s.scalingRatio = 1.7;
  return s;
}

std::string lanes_name(ExactLanes lanes) {
  switch (lanes) {
    case ExactLanes::two:
      return "TwoLanes";
    case ExactLanes::four:
      return "FourLanes";
    case ExactLanes::eight:
      return "EightLanes";
  }
  return "UnknownLanes";
}

// Scattered nodes in counts that leave different remainders after groups of
// sixteen and of eight rows (one group of eight and a row; one group of each;
// many groups, the last of eight, and rows left over), and extreme nodes.
struct Scene {
  const char* name;
  std::size_t n;
  NodeMatrix (*make)(std::size_t);
};

class ExactRepulsion : public testing::TestWithParam<std::tuple<bool, ExactLanes, Scene>> {};

TEST_P(ExactRepulsion, EveryPathGivesTheReferenceBits) {
  const auto [sizes, lanes, scene] = GetParam();
  if (lanes > widest_exact_lanes()) {
    GTEST_SKIP() << lanes_name(lanes) << " needs a CPU feature this machine lacks";
  }
  const LayoutSettings settings = exact_settings(sizes);
  NodeMatrix nodes = scene.make(scene.n);
  const NodeMatrix expected = reference_repulsion(settings, nodes);
  exact_repulsion_on_lanes(lanes, settings, nodes);
  expect_same_forces(nodes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExactRepulsion,
    testing::Combine(testing::Bool(),
                     testing::Values(ExactLanes::two, ExactLanes::four, ExactLanes::eight),
                     testing::Values(Scene{"scattered", 9, exact_nodes},
                                     Scene{"scattered", 24, exact_nodes},
                                     Scene{"scattered", 301, exact_nodes},
                                     Scene{"extreme", 301, extreme_nodes})),
    [](const auto& test) {
      const Scene& scene = std::get<2>(test.param);
      return std::string(std::get<0>(test.param) ? "WithSizes_" : "Plain_") +
             lanes_name(std::get<1>(test.param)) + "_" + scene.name + std::to_string(scene.n);
    });

// Above min_nodes_exact_tiles, so that the tiles run on the pool.
class ExactOnPool : public testing::TestWithParam<std::tuple<bool, std::size_t>> {};

TEST_P(ExactOnPool, TilesGiveTheSequentialBits) {
  const auto [sizes, threads] = GetParam();
  const LayoutSettings settings = exact_settings(sizes);
  const NodeMatrix start = exact_nodes(min_nodes_exact_tiles + 1003);
  NodeMatrix sequential = start;
  exact_repulsion(settings, sequential);
  WorkerPool pool(threads);
  NodeMatrix parallel = start;
  exact_repulsion_on_pool(pool, settings, parallel);
  expect_same_forces(parallel, sequential);
}

INSTANTIATE_TEST_SUITE_P(Threads, ExactOnPool,
                         testing::Combine(testing::Bool(), testing::Values(1, 2, 3, 8)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param) ? "WithSizes" : "Plain") +
                                  "_threads" + std::to_string(std::get<1>(test.param));
                         });

}  // namespace
}  // namespace tallow
