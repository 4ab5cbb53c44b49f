// The convergence measure: mean step of the unpinned nodes over the layout's extent.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "convergence.hpp"
#include "matrices.hpp"

namespace tallow {
namespace {

// Nodes at the given (x, y), pinned where `pinned` says so.
NodeMatrix nodes_at(const std::vector<Point>& points, const std::vector<bool>& pinned = {}) {
  NodeMatrix nodes(points.size() * node_stride, 0.0f);
  for (std::size_t i = 0; i < points.size(); ++i) {
    nodes[i * node_stride + slot::x] = static_cast<float>(points[i][0]);
    nodes[i * node_stride + slot::y] = static_cast<float>(points[i][1]);
    nodes[i * node_stride + slot::fixed] = i < pinned.size() && pinned[i] ? 1.0f : 0.0f;
  }
  return nodes;
}

TEST(ConvergenceMeter, MeanStepOverTheLargerSide) {
  ConvergenceMeter meter(nodes_at({{0, 0}, {10, 0}, {0, 4}}));
  // Steps of 3 (a 3-4-5 move), 0 and 0, over an extent of 10 (x side).
  EXPECT_EQ(meter.measure_step(nodes_at({{3, 4}, {10, 0}, {0, 4}})), (5.0 / 3.0) / 10.0);
  // The new positions are the next step's start.
  EXPECT_EQ(meter.measure_step(nodes_at({{3, 4}, {10, 0}, {0, 4}})), 0.0);
}

TEST(ConvergenceMeter, PinnedNodesCountForTheExtentOnly) {
  ConvergenceMeter meter(nodes_at({{0, 0}, {1, 0}}, {true, false}));
  EXPECT_EQ(meter.measure_step(nodes_at({{0, 0}, {2, 0}}, {true, false})), 1.0 / 2.0);
  ConvergenceMeter all_pinned(nodes_at({{0, 0}}, {true}));
  EXPECT_EQ(all_pinned.measure_step(nodes_at({{0, 0}}, {true})), 0.0);
}

TEST(ConvergenceMeter, NaNAndZeroExtentNeverLookSettled) {
  ConvergenceMeter meter(nodes_at({{0, 0}, {1, 1}}));
  EXPECT_TRUE(std::isnan(meter.measure_step(nodes_at({{NAN, 0}, {1, 1}}))));
  ConvergenceMeter collapsed(nodes_at({{0, 0}, {1, 1}}));
  EXPECT_EQ(collapsed.measure_step(nodes_at({{2, 2}, {2, 2}})),
            std::numeric_limits<double>::infinity());
}

TEST(SettledRule, NeedsFiveQuietStepsInARow) {
  SettledRule rule(/*tolerance=*/0.01);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(rule.settled(0.001));
  }
  EXPECT_FALSE(rule.settled(0.5));  // a large step starts the count again
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(rule.settled(0.001));
  }
  EXPECT_FALSE(rule.settled(NAN));
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(rule.settled(0.0));
  }
  EXPECT_TRUE(rule.settled(0.0));
}

}  // namespace
}  // namespace tallow
