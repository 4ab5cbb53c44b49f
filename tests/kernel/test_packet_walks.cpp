#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "iterate.hpp"
#include "kernel_test_support.hpp"
#include "packet_walks.hpp"
#include "quadtree.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::Degenerate;
using testing_support::make_nodes;
using testing_support::same_bits;

// Forces to start from, -0 and NaN among them, so that a lane that adds
// nothing must leave its node's force exactly as it was.
void set_start_forces(NodeMatrix& nodes) {
  const std::size_t count = nodes.size() / node_stride;
  for (std::size_t i = 0; i < count; ++i) {
    float* node = nodes.data() + i * node_stride;
    node[slot::dx] = i % 3 == 0 ? -0.0f : 0.25f * static_cast<float>(i % 17) - 1.5f;
    node[slot::dy] = i % 29 == 7 ? std::numeric_limits<float>::quiet_NaN()
                                 : -0.125f * static_cast<float>(i % 13);
  }
}

// Nodes in nested clusters at shrinking scales: neighbours in the walk order
// disagree about regions at many depths, so packets split and rejoin deep
// inside the tree.
std::vector<Body> nested_clusters(std::size_t n) {
  testing_support::Jitter jitter(77u);
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    const double scale = std::ldexp(1.0, -static_cast<int>(i % 24));
    bodies.push_back({scale * jitter(), scale * jitter(), 1.0 + static_cast<double>(i % 3)});
  }
  return bodies;
}

// The walks are split into two ranges of uneven length so that packets
// start anywhere and some are not full.
// Packets must give every node the bits of its own walk, in every kind of
// lanes this CPU has.
void expect_packets_match_single_walks(NodeMatrix start, double theta, bool sized,
                                       PacketLanes lanes) {
  set_start_forces(start);
  const RegionMatrix regions = quadtree::build(start);
  StepBuffers buffers;
  buffers.sized_leaves = sized;
  const std::size_t count = bh_prepare_step_walks(buffers, start, regions);
  ASSERT_EQ(buffers.walk_order.size(), count);
  const double coefficient = 1.7;
  const double theta2 = theta * theta;

  NodeMatrix single = start;
  for (const std::uint32_t index : buffers.walk_order) {
    const std::span<float, node_stride> node(single.data() + index * node_stride, node_stride);
    if (sized) {
      bh_node_repulsion_sized(node, index, buffers.walk_tree, coefficient, theta2);
    } else {
      bh_node_repulsion(node, index, buffers.walk_tree, coefficient, theta2);
    }
  }
  NodeMatrix packed = start;
  const std::size_t split = count < 5 ? count : 5;
  ASSERT_TRUE(bh_run_packet_walks(packed, buffers.walk_tree, buffers.walk_order, 0, split,
                                  coefficient, theta2, sized, lanes));
  ASSERT_TRUE(bh_run_packet_walks(packed, buffers.walk_tree, buffers.walk_order, split, count,
                                  coefficient, theta2, sized, lanes));
  for (std::size_t i = 0; i < packed.size(); ++i) {
    ASSERT_TRUE(same_bits(packed[i], single[i]))
        << "node " << i / node_stride << ", slot " << i % node_stride;
  }
}

// Sizes from 0 to 2.5, some of them far larger than the gaps between nodes,
// so that leaves overlap, just touch and lie apart, and regions are opened
// for their reach.
NodeMatrix with_sizes(NodeMatrix nodes) {
  const std::size_t count = nodes.size() / node_stride;
  for (std::size_t i = 0; i < count; ++i) {
    nodes[i * node_stride + slot::size] = 0.5f * static_cast<float>(i % 6);
  }
  return nodes;
}

// The kinds of lanes this CPU has.
std::vector<PacketLanes> lanes_here() {
  std::vector<PacketLanes> here;
  for (const PacketLanes lanes : {PacketLanes::avx2, PacketLanes::avx512}) {
    if (lanes <= widest_packet_lanes()) {
      here.push_back(lanes);
    }
  }
  return here;
}

class PacketWalks : public ::testing::TestWithParam<std::tuple<Degenerate, double, bool>> {};

TEST_P(PacketWalks, GiveEveryNodeTheBitsOfItsOwnWalk) {
  if (lanes_here().empty()) {
    GTEST_SKIP() << "this CPU walks one node at a time";
  }
  const auto [kind, theta, sized] = GetParam();
  const NodeMatrix nodes = make_nodes(testing_support::degenerate_bodies(kind, 300));
  for (const PacketLanes lanes : lanes_here()) {
    SCOPED_TRACE(::testing::Message() << "lanes " << static_cast<int>(lanes));
    expect_packets_match_single_walks(sized ? with_sizes(nodes) : nodes, theta, sized, lanes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Repulsion, PacketWalks,
    ::testing::Combine(::testing::ValuesIn(testing_support::every_degenerate),
                       ::testing::Values(0.0, 0.5, 1.2, 3.0), ::testing::Bool()),
    [](const auto& test) {
      const double theta = std::get<1>(test.param);
      return testing_support::degenerate_name(std::get<0>(test.param)) + "_theta_" +
             std::to_string(static_cast<int>(theta * 10)) +
             (std::get<2>(test.param) ? "_sized" : "");
    });

TEST(PacketWalks, SplitAndRejoinDeepInsideNestedClusters) {
  if (lanes_here().empty()) {
    GTEST_SKIP() << "this CPU walks one node at a time";
  }
  for (const bool sized : {false, true}) {
    for (const double theta : {0.3, 1.2, 2.0}) {
      SCOPED_TRACE(::testing::Message() << "theta " << theta << (sized ? ", sized" : ""));
      const NodeMatrix nodes = make_nodes(nested_clusters(6000));
      for (const PacketLanes lanes : lanes_here()) {
        SCOPED_TRACE(::testing::Message() << "lanes " << static_cast<int>(lanes));
        expect_packets_match_single_walks(sized ? with_sizes(nodes) : nodes, theta, sized,
                                          lanes);
      }
    }
  }
}

}  // namespace
}  // namespace tallow
