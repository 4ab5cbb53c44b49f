// Force application: the per-node adaptive step, the force cap and fixed nodes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <utility>
#include <vector>

#include "kernel_test_support.hpp"
#include "fatal.hpp"
#include "iterate.hpp"

namespace tallow {
namespace {

using testing_support::same_bits;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

struct Node {
  float dx = 0, dy = 0, old_dx = 0, old_dy = 0, mass = 1, convergence = 1, fixed = 0;
};

// One node at the origin with the given force state.
std::vector<float> at_origin(const Node& n) {
  return {0, 0, n.dx, n.dy, n.old_dx, n.old_dy, n.mass, n.convergence, 1, n.fixed};
}

struct StepCase {
  const char* name;
  Node node;
  bool adjust_sizes;
  double x, y;          // to four decimals; NaN expects NaN
  float convergence;    // bit for bit, or NaN for "to four decimals" below
  double convergence4;  // used when convergence is NaN
  float dx, dy;         // force left in the record, bit for bit
};

TEST(ApplyForces, MovesByTheNodesOwnStep) {
  const StepCase cases[] = {
      {"steady force", {.dx = 3, .dy = 4}, false, 1.1614, 1.5485, 1, 0, 3, 4},
      {"small force", {.dx = 0.3f, .dy = 0.4f}, false, 0.0392, 0.0523, nan, 0.1384, 0.3f, 0.4f},
      // The cap writes the shortened force back; convergence is left alone.
      {"capped", {.dx = 30, .dy = 40, .convergence = 0.5f}, true, 0.2583, 0.3444, 0.5f, 0, 6, 8},
      {"long along x", {.dx = 20, .convergence = 0.5f}, true, 0.4305, 0, 0.5f, 0, 10, 0},
      {"not above 10", {.dx = 6.1f, .dy = 7.9f}, true, 0.2625, 0.3400, 1, 0, 6.1f, 7.9f},
      {"zero force", {}, false, 0, 0, 0, 0, 0, 0},
      // log(0 * 0.5 + 1) = 0: a force that exactly reverses does not move.
      {"reversed force", {.dx = 3, .dy = 4, .old_dx = -3, .old_dy = -4}, false, 0, 0, 0, 0, 3, 4},
      // fmin ignores the NaN under the root and resets convergence to 1; the
      // NaN factor reaches both coordinates.
      {"NaN force", {.dx = nan}, false, NAN, NAN, 1, 0, nan, 0},
      {"fixed 0.5 moves", {.dx = 3, .dy = 4, .fixed = 0.5f}, false, 1.1614, 1.5485, 1, 0, 3, 4},
      {"fixed 2 moves", {.dx = 3, .dy = 4, .fixed = 2}, false, 1.1614, 1.5485, 1, 0, 3, 4},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes = at_origin(c.node);
    LayoutSettings settings;
    settings.adjustSizes = c.adjust_sizes;
    apply_forces_phase(settings, nodes);
    for (const auto& [which, expected] : {std::pair{slot::x, c.x}, std::pair{slot::y, c.y}}) {
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(nodes[which])) << nodes[which];
      } else {
        EXPECT_NEAR(nodes[which], expected, 5e-5);
      }
    }
    if (std::isnan(c.convergence)) {
      EXPECT_NEAR(nodes[slot::convergence], c.convergence4, 5e-5);
    } else {
      EXPECT_TRUE(same_bits(nodes[slot::convergence], c.convergence));
    }
    EXPECT_TRUE(same_bits(nodes[slot::dx], c.dx));
    EXPECT_TRUE(same_bits(nodes[slot::dy], c.dy));
  }
}

TEST(ApplyForces, FixedNodeIsLeftUntouched) {
  std::vector<float> nodes = at_origin({.dx = 30, .dy = 40, .old_dx = 1, .fixed = 1});
  nodes[slot::x] = 0.5f;
  const std::vector<float> before = nodes;
  for (const bool adjust_sizes : {false, true}) {
    LayoutSettings settings;
    settings.adjustSizes = adjust_sizes;
    apply_forces_phase(settings, nodes);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_TRUE(same_bits(nodes[i], before[i])) << "slot " << i;
    }
  }
}

// The step is divided by slowDown and, without sizes, multiplied by the
// convergence of the previous iteration; powers of two scale it exactly.
TEST(ApplyForces, StepScalesWithOldConvergenceAndSlowDown) {
  struct Case {
    float convergence;
    double slow_down;
    float divisor_plain, divisor_sized;
  };
  const Case cases[] = {{1, 1, 1, 1}, {0.5f, 1, 2, 1}, {1, 2, 2, 2}, {0.5f, 4, 8, 4}};
  for (const bool adjust_sizes : {false, true}) {
    LayoutSettings settings;
    settings.adjustSizes = adjust_sizes;
    std::vector<float> unit = at_origin({.dx = 3, .dy = 4, .old_dx = 1});
    apply_forces_phase(settings, unit);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "convergence " << c.convergence << ", slowDown "
                                      << c.slow_down << ", sizes " << adjust_sizes);
      settings.slowDown = c.slow_down;
      std::vector<float> nodes =
          at_origin({.dx = 3, .dy = 4, .old_dx = 1, .convergence = c.convergence});
      apply_forces_phase(settings, nodes);
      const float divisor = adjust_sizes ? c.divisor_sized : c.divisor_plain;
      EXPECT_TRUE(same_bits(nodes[slot::x], unit[slot::x] / divisor));
      EXPECT_TRUE(same_bits(nodes[slot::y], unit[slot::y] / divisor));
    }
  }
}

// Traction and swinging use the capped force as rounded to f32; the unrounded
// quotients would move the node one unit in the last place further.
TEST(ApplyForces, CappedForceIsUsedAsStored) {
  std::vector<float> nodes = {-0x1.82cca2p+0f, -0x1.941c1cp+0f, -0x1.7c2f26p+12f,
                              -0x1.5e48ecp+13f, -0x1.39df74p+2f, -0x1.16dfdcp+3f,
                              12.5f, 1, 1, 0};
  LayoutSettings settings;
  settings.adjustSizes = true;
  apply_forces_phase(settings, nodes);
  EXPECT_TRUE(same_bits(nodes[slot::dx], -0x1.3142dep+2f));
  EXPECT_TRUE(same_bits(nodes[slot::dy], -0x1.19411p+3f));
  EXPECT_TRUE(same_bits(nodes[slot::x], -0x1.fd7f4ep+0f));
  EXPECT_TRUE(same_bits(nodes[slot::y], -0x1.3b1a74p+1f));
}

TEST(ApplyForces, PartialRecordIsFatal) {
  std::vector<float> nodes = at_origin({});
  nodes.resize(15, 0.0f);
  try {
    apply_forces_phase(LayoutSettings{}, nodes);
    ADD_FAILURE() << "a node matrix of 15 values was accepted";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "index out of bounds: the len is 15 but the index is 19");
  }
}

}  // namespace
}  // namespace tallow
