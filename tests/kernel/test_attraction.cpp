// Gravity and edge attraction on hand-built node matrices.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kernel_test_support.hpp"
#include "fatal.hpp"
#include "iterate.hpp"

namespace tallow {
namespace {

using testing_support::Body;
using testing_support::make_nodes;
using testing_support::same_bits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// One freshly built node per (x, y, mass): zero force, convergence and size 1.
std::vector<float> make_nodes(std::initializer_list<std::array<double, 3>> nodes) {
  std::vector<float> out;
  for (const auto& [x, y, mass] : nodes) {
    out.insert(out.end(), {static_cast<float>(x), static_cast<float>(y), 0, 0, 0, 0,
                           static_cast<float>(mass), 1, 1, 0});
  }
  return out;
}

float force(const std::vector<float>& nodes, std::size_t node, std::size_t which) {
  return nodes[node * node_stride + which];
}

struct GravityCase {
  const char* name;
  double x, y, mass, gravity, scaling;
  bool strong;
  float dx, dy;  // expected bit for bit; NaN compared as NaN
};

TEST(Gravity, PullsTowardOrigin) {
  const GravityCase cases[] = {
      {"plain", 3, 4, 2, 1, 1, false, -1.2f, -1.6f},
      {"strong", 3, 4, 2, 1, 1, true, -6, -8},
      {"scaling cancels", 3, 4, 2, 1, 4, false, -1.2f, -1.6f},
      {"at origin", 0, 0, 2, 1, 1, false, 0, 0},
      {"strong at origin", 0, 0, 2, 1, 1, true, 0, 0},
      {"zero gravity", 3, 4, 2, 0, 1, false, 0, 0},
      {"zero mass", 3, 4, 0, 1, 1, false, 0, 0},
      // q = gravity / scalingRatio is infinite and meets scalingRatio * mass = 0.
      {"zero scaling", 3, 4, 2, 1, 0, false, NAN, NAN},
      // f is 0, but 0 * NaN still reaches dx.
      {"NaN x", nan, 4, 2, 1, 1, false, NAN, 0},
  };
  for (const GravityCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes = make_nodes({{c.x, c.y, c.mass}});
    LayoutSettings settings;
    settings.gravity = c.gravity;
    settings.scalingRatio = c.scaling;
    settings.strongGravityMode = c.strong;
    gravity_phase(settings, nodes);
    for (const auto& [which, expected] : {std::pair{slot::dx, c.dx}, std::pair{slot::dy, c.dy}}) {
      const float actual = force(nodes, 0, which);
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
      } else {
        EXPECT_TRUE(same_bits(actual, expected));
      }
    }
  }
}

TEST(Gravity, AddsToExistingForceAndTouchesNothingElse) {
  std::vector<float> nodes = make_nodes({{3, 4, 2}, {0, -2, 1}});
  nodes[slot::dx] = 0.5f;
  std::vector<float> expected = nodes;
  expected[slot::dx] = -0.7f;  // f32(0.5 - 1.2000000000000002), not 0.5f - 1.2f
  expected[slot::dy] = -1.6f;
  expected[node_stride + slot::dy] = 1;
  gravity_phase(LayoutSettings{}, nodes);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_TRUE(same_bits(nodes[i], expected[i])) << "element " << i;
  }
}

struct AttractionCase {
  const char* name;
  double weight, influence;
  bool lin_log, distributed, sized;
  double compensation;
  double dx, dy;  // the source's force; the target gets the opposite
  double tolerance;  // 0: bit for bit as f32
};

// An edge from (0, 0), mass 1, to (3, 4), both at rest, all sizes 1.
TEST(Attraction, SingleEdgeForces) {
  const AttractionCase cases[] = {
      {"plain", 1, 1, false, false, false, 0, 3, 4, 0},
      {"linLog", 1, 1, true, false, false, 0, 1.0751, 1.4334, 5e-5},
      {"sizes, d = 3", 1, 1, false, false, true, 0, 3, 4, 0},
      {"sizes and linLog", 1, 1, true, false, true, 0, 1.3863, 1.8484, 5e-5},
      {"distributed", 1, 1, false, true, false, 2, 6, 8, 0},
      {"distributed linLog", 1, 1, true, true, false, 2, 2.1501, 2.8668, 5e-5},
      {"influence 1 keeps the weight", 0.5, 1, false, false, false, 0, 1.5, 2, 0},
      {"influence 2 squares", 3, 2, false, false, false, 0, 27, 36, 0},
      {"influence 0 on weight 0", 0, 0, false, false, false, 0, 3, 4, 0},
      {"influence 0 on a NaN weight", nan, 0, false, false, false, 0, 3, 4, 0},
      {"general influence", 4, 0.5, false, false, false, 0, 6, 8, 0},
      {"negative influence on weight 0", 0, -1, false, false, false, 0, inf, inf, 0},
      {"negative weight repels", -1, 1, false, false, false, 0, -3, -4, 0},
  };
  for (const AttractionCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes = make_nodes({{0, 0, 1}, {3, 4, 1}});
    const std::vector<EdgeRecord> edges{{0, 1, static_cast<float>(c.weight)}};
    LayoutSettings settings;
    settings.edgeWeightInfluence = c.influence;
    settings.linLogMode = c.lin_log;
    settings.outboundAttractionDistribution = c.distributed;
    settings.adjustSizes = c.sized;
    attraction_phase(settings, nodes, edges, c.compensation);
    for (const auto& [which, value] : {std::pair{slot::dx, c.dx}, std::pair{slot::dy, c.dy}}) {
      if (c.tolerance > 0) {
        EXPECT_NEAR(force(nodes, 0, which), value, c.tolerance);
        EXPECT_NEAR(force(nodes, 1, which), -value, c.tolerance);
      } else {
        EXPECT_TRUE(same_bits(force(nodes, 0, which), static_cast<float>(value)));
        EXPECT_TRUE(same_bits(force(nodes, 1, which), static_cast<float>(-value)));
      }
    }
  }
}

TEST(Attraction, EdgesThatDoNotAct) {
  struct Case {
    const char* name;
    double target_x;
    std::uint32_t target;
    bool lin_log, sized;
  };
  // Sizes 1: ends 2 apart just touch (d = 0); a self-loop has no direction.
  const Case cases[] = {
      {"sizes, touching", 2, 1, false, true},   {"sizes, overlapping", 1, 1, false, true},
      {"self-loop, plain", 0, 0, false, false}, {"self-loop, linLog", 0, 0, true, false},
      {"self-loop, sizes", 0, 0, false, true},  {"coincident, plain", 0, 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes = make_nodes({{0, 0, 3}, {c.target_x, 0, 1}});
    nodes[slot::dx] = 0.25f;
    const std::vector<float> before = nodes;
    LayoutSettings settings;
    settings.linLogMode = c.lin_log;
    settings.adjustSizes = c.sized;
    attraction_phase(settings, nodes, std::vector<EdgeRecord>{{0, c.target, 2}}, 0);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_TRUE(same_bits(nodes[i], before[i])) << "element " << i;
    }
  }
}

// Node 0 at (0, 0) with mass 1, node 1 at (3, 4) with mass 4; compensation 2.
TEST(Attraction, ReversedEdgeDiffersOnlyWithDistribution) {
  for (const bool distributed : {false, true}) {
    SCOPED_TRACE(distributed ? "distributed" : "plain");
    LayoutSettings settings;
    settings.outboundAttractionDistribution = distributed;
    std::vector<float> forward = make_nodes({{0, 0, 1}, {3, 4, 4}});
    std::vector<float> reversed = forward;
    attraction_phase(settings, forward, std::vector<EdgeRecord>{{0, 1, 1}}, 2);
    attraction_phase(settings, reversed, std::vector<EdgeRecord>{{1, 0, 1}}, 2);
    // With distribution the force is divided by the source's mass alone.
    const float expected_x = distributed ? 6.0f : 3.0f;
    EXPECT_TRUE(same_bits(force(forward, 0, slot::dx), expected_x));
    EXPECT_TRUE(same_bits(force(forward, 1, slot::dy), -4 * expected_x / 3));
    const float reversed_x = distributed ? 1.5f : 3.0f;
    EXPECT_TRUE(same_bits(force(reversed, 0, slot::dx), reversed_x));
    EXPECT_TRUE(same_bits(force(reversed, 1, slot::dy), -4 * reversed_x / 3));
  }
}

TEST(Attraction, RoundsToF32AfterEveryEdge) {
  // Each edge adds 0.4 of an f32 unit in the last place to the source's dx of 1:
  // rounded after each edge it stays 1, summed first it would become 1 + ulp.
  std::vector<float> nodes = make_nodes({{0, 0, 1}, {1, 0, 1}});
  nodes[slot::dx] = 1.0f;
  const float weight = static_cast<float>(0.4 * std::ldexp(1.0, -23));
  const std::vector<EdgeRecord> edges{{0, 1, weight}, {0, 1, weight}};
  attraction_phase(LayoutSettings{}, nodes, edges, 0);
  EXPECT_TRUE(same_bits(force(nodes, 0, slot::dx), 1.0f));
  EXPECT_TRUE(same_bits(force(nodes, 1, slot::dx), -2 * weight));
}

TEST(Attraction, EndPastTheNodeMatrixIsFatal) {
  struct Case {
    EdgeRecord edge;
    std::size_t node_floats;
    const char* text;
  };
  const Case cases[] = {
      {{0, 2, 1}, 20, "index out of bounds: the len is 20 but the index is 20"},
      {{5, 0, 1}, 20, "index out of bounds: the len is 20 but the index is 50"},
      // The offset is formed in 64 bits: the largest u32 index does not wrap.
      {{0, 0xFFFFFFFF, 1}, 20, "index out of bounds: the len is 20 but the index is 42949672950"},
      // A partial last record fails at the first slot it lacks (dx of node 1).
      {{0, 1, 1}, 12, "index out of bounds: the len is 12 but the index is 12"},
  };
  for (const Case& c : cases) {
    for (const bool packed : {false, true}) {
      std::vector<float> nodes(c.node_floats, 1.0f);
      nodes[0] = 0;  // ends apart, so the edge acts
      std::vector<float> packed_slots;
      try {
        if (packed) {
          attraction_phase(LayoutSettings{}, nodes, std::vector<EdgeRecord>{c.edge}, 0,
                           packed_slots);
        } else {
          attraction_phase(LayoutSettings{}, nodes, std::vector<EdgeRecord>{c.edge}, 0);
        }
        ADD_FAILURE() << "no error for " << c.text;
      } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), c.text) << (packed ? "packed" : "plain");
      }
    }
  }
}

// The packed phase against the plain one on a graph with self-loops, repeated
// and reversed edges, zero, negative and fractional weights, overlapping and
// coincident ends, in every mode.
TEST(Attraction, PackedSlotsGiveThePlainPhasesBits) {
  testing_support::Jitter jitter(5u);
  std::vector<Body> bodies;
  for (int i = 0; i < 300; ++i) {
    bodies.push_back({20.0 * jitter(), 20.0 * jitter(), 1.0 + (i % 5)});
  }
  bodies[7] = bodies[8];
  std::vector<EdgeRecord> edges;
  const float weights[] = {1.0f, 0.0f, -0.5f, 2.75f, 1e-3f};
  for (std::uint32_t k = 0; k < 2000; ++k) {
    const auto source = static_cast<std::uint32_t>((k * 7919u) % 300u);
    const auto target = k % 23 == 0 ? source : static_cast<std::uint32_t>((k * 104729u) % 300u);
    edges.push_back({source, target, weights[k % 5]});
  }
  edges.push_back({7, 8, 1.0f});
  edges.push_back({8, 7, 1.0f});
  for (const double influence : {0.0, 1.0, 2.0, 0.5}) {
    for (int modes = 0; modes < 8; ++modes) {
      LayoutSettings settings;
      settings.edgeWeightInfluence = influence;
      settings.linLogMode = (modes & 1) != 0;
      settings.outboundAttractionDistribution = (modes & 2) != 0;
      settings.adjustSizes = (modes & 4) != 0;
      std::vector<float> plain = make_nodes(bodies);
      for (std::size_t i = 0; i < bodies.size(); ++i) {
        plain[i * node_stride + slot::dx] = static_cast<float>(jitter());
        plain[i * node_stride + slot::size] = 0.5f * static_cast<float>(i % 3);
      }
      std::vector<float> packed = plain;
      std::vector<float> packed_slots;
      attraction_phase(settings, plain, edges, 2.5);
      attraction_phase(settings, packed, edges, 2.5, packed_slots);
      for (std::size_t k = 0; k < plain.size(); ++k) {
        ASSERT_TRUE(same_bits(packed[k], plain[k]))
            << "influence " << influence << ", modes " << modes << ", float " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tallow
