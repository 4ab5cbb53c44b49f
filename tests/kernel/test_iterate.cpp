// The sequential iteration step: force rotation, compensation, phase order,
// and whole steps against a plain reference written out below.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fatal.hpp"
#include "iterate.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "kernel_test_support.hpp"
#include "reference_step.hpp"

namespace tallow {
namespace {

using testing_support::Reference;
using testing_support::reference_tree;

// ---- Helpers ---------------------------------------------------------------

// The first element whose bits differ, described with both values.
std::optional<std::string> first_difference(const std::vector<float>& actual,
                                            const std::vector<float>& expected) {
  if (actual.size() != expected.size()) return "sizes differ";
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(actual[i]) != std::bit_cast<std::uint32_t>(expected[i])) {
      std::ostringstream out;
      out << "node " << i / node_stride << " slot " << i % node_stride << ": " << std::hexfloat
          << actual[i] << " but expected " << expected[i];
      return out.str();
    }
  }
  return std::nullopt;
}

// Three clusters of seven nodes: rings with chords inside, a few weighted
// bridges, a self-loop and a duplicate edge; one node fixed.
Matrices clustered_graph() {
  std::vector<Point> init;
  testing_support::Jitter jitter(12345u);
  std::vector<EdgePair> edges;
  std::vector<double> weights;
  for (std::uint32_t c = 0; c < 3; ++c) {
    for (std::uint32_t k = 0; k < 7; ++k) {
      init.push_back({10.0 * c + 3 * jitter(), 6.0 * (c % 2) + 3 * jitter()});
      edges.push_back({7 * c + k, 7 * c + (k + 1) % 7});
      weights.push_back(1.0 + 0.5 * k);
      edges.push_back({7 * c + k, 7 * c + (k + 3) % 7});
      weights.push_back(0.75);
    }
  }
  for (const auto& [source, target, weight] :
       {std::tuple{0u, 7u, 2.5}, {9u, 15u, 0.3}, {20u, 3u, 4.0}, {5u, 5u, 1.0}, {0u, 7u, 2.5}}) {
    edges.push_back({source, target});
    weights.push_back(weight);
  }
  Matrices m = graph_to_matrices(init.size(), edges, weights, init);
  m.nodes[11 * node_stride + slot::fixed] = 1.0f;
  return m;
}

std::string error_text(const std::function<void()>& run) {
  try {
    run();
  } catch (const InternalError& error) {
    return error.what();
  }
  return "no error";
}

// ---- Tests -----------------------------------------------------------------

TEST(Iterate, MatchesReferenceStepBitForBit) {
  struct Case {
    const char* name;
    LayoutSettings settings;
  };
  const Case cases[] = {
      {"strong gravity",
       {.scalingRatio = 3.0, .strongGravityMode = true, .gravity = 2.0}},
      {"linLog distributed",
       {.linLogMode = true, .outboundAttractionDistribution = true,
        .edgeWeightInfluence = 0.5, .slowDown = 1.5}},
      {"sizes, squared weights",
       {.adjustSizes = true, .edgeWeightInfluence = 2.0, .scalingRatio = 2.0, .gravity = 0.5}},
      {"plain, weights ignored", {.edgeWeightInfluence = 0.0}},
      {"Barnes-Hut, strong gravity",
       {.scalingRatio = 3.0, .strongGravityMode = true, .gravity = 2.0,
        .barnesHutOptimize = true, .barnesHutTheta = 0.8}},
      {"Barnes-Hut, linLog distributed",
       {.linLogMode = true, .outboundAttractionDistribution = true,
        .barnesHutOptimize = true, .barnesHutTheta = 1.2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrices m = clustered_graph();
    std::vector<float> nodes = m.nodes;
    std::vector<float> expected = m.nodes;
    Reference reference{c.settings, expected};
    StepBuffers buffers;
    for (int iteration = 1; iteration <= 12; ++iteration) {
      iterate(c.settings, nodes, m.edges, buffers);
      reference.step(m.edges);
      const std::optional<std::string> difference = first_difference(nodes, expected);
      ASSERT_FALSE(difference) << "after iteration " << iteration << ", " << *difference;
    }
  }
}

// Tight clusters far apart (deep trees), some nodes on one spot (left out
// of the tree), weights from 0.5 to 3.
Matrices tight_clusters(std::uint32_t n) {
  testing_support::Jitter jitter(777u);
  std::vector<Point> init;
  std::vector<EdgePair> edges;
  std::vector<double> weights;
  for (std::uint32_t i = 0; i < n; ++i) {
    const double cluster = i % 4;
    init.push_back({200.0 * cluster + jitter(), 50.0 * (i % 2) + jitter()});
    edges.push_back({i, (i + 4) % n});
    weights.push_back(0.5 + (i % 6) * 0.5);
  }
  init[7] = init[11] = init[15];
  return graph_to_matrices(n, edges, weights, init);
}

TEST(Iterate, RegionTreeMatchesTheReferenceTreeEveryStep) {
  for (const double theta : {0.5, 1.2}) {
    SCOPED_TRACE(theta);
    const LayoutSettings settings{.strongGravityMode = true, .gravity = 5.0,
                                  .barnesHutOptimize = true, .barnesHutTheta = theta};
    const Matrices m = tight_clusters(300);
    std::vector<float> nodes = m.nodes;
    std::vector<float> expected = m.nodes;
    Reference reference{settings, expected};
    StepBuffers buffers;
    for (int iteration = 1; iteration <= 15; ++iteration) {
      const RegionMatrix regions = quadtree::build(nodes);
      const std::vector<double> reference_regions = reference_tree(expected);
      ASSERT_EQ(regions.size(), reference_regions.size()) << "before iteration " << iteration;
      for (std::size_t k = 0; k < regions.size(); ++k) {
        ASSERT_TRUE(testing_support::same_bits(regions[k], reference_regions[k]))
            << "before iteration " << iteration << ", region value " << k;
      }
      iterate(settings, nodes, m.edges, buffers);
      reference.step(m.edges);
      const std::optional<std::string> difference = first_difference(nodes, expected);
      ASSERT_FALSE(difference) << "after iteration " << iteration << ", " << *difference;
    }
  }
}

TEST(Iterate, ReusedBuffersChangeNoBit) {
  LayoutSettings settings;
  settings.barnesHutOptimize = true;
  settings.outboundAttractionDistribution = true;
  const Matrices m = clustered_graph();
  std::vector<float> reused = m.nodes;
  std::vector<float> fresh = m.nodes;
  StepBuffers buffers;
  for (int iteration = 1; iteration <= 6; ++iteration) {
    iterate(settings, reused, m.edges, buffers);
    iterate(settings, fresh, m.edges);
    const std::optional<std::string> difference = first_difference(reused, fresh);
    ASSERT_FALSE(difference) << "after iteration " << iteration << ", " << *difference;
  }
}

TEST(Iterate, OldForceIsTheForceTheStepBeganWith) {
  Matrices m = clustered_graph();
  for (std::size_t i = 0; i < m.nodes.size() / node_stride; ++i) {
    m.nodes[i * node_stride + slot::dx] = 0.1f * static_cast<float>(i);
    m.nodes[i * node_stride + slot::dy] = -3.0f - static_cast<float>(i);
  }
  const std::vector<float> before = m.nodes;
  iterate(LayoutSettings{}, m.nodes, m.edges);
  // Node 11 is fixed and rotates all the same; mass and size never change.
  std::vector<float> expected = m.nodes;
  for (std::size_t base = 0; base < m.nodes.size(); base += node_stride) {
    expected[base + slot::old_dx] = before[base + slot::dx];
    expected[base + slot::old_dy] = before[base + slot::dy];
    expected[base + slot::mass] = before[base + slot::mass];
    expected[base + slot::size] = before[base + slot::size];
  }
  const std::optional<std::string> difference = first_difference(m.nodes, expected);
  EXPECT_FALSE(difference) << *difference;
}

TEST(Iterate, PrepareStepCompensation) {
  // 1e8 + 1 - 1e8 summed left to right in f64 is 1; an f32 or reordered sum is not.
  struct Case {
    const char* name;
    std::vector<float> masses;
    bool distributed;
    double expected;
  };
  const Case cases[] = {
      {"one node", {2.7f}, true, static_cast<double>(2.7f)},
      {"left-to-right f64 sum", {1e8f, 1.0f, -1e8f}, true, 1.0 / 3.0},
      {"off", {2.7f, 5.0f}, false, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes(c.masses.size() * node_stride, 0.0f);
    for (std::size_t i = 0; i < c.masses.size(); ++i) {
      nodes[i * node_stride + slot::mass] = c.masses[i];
    }
    LayoutSettings settings;
    settings.outboundAttractionDistribution = c.distributed;
    const double compensation = prepare_step(settings, nodes);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(compensation),
              std::bit_cast<std::uint64_t>(c.expected))
        << std::hexfloat << compensation << " but expected " << c.expected;
  }
  LayoutSettings distributed;
  distributed.outboundAttractionDistribution = true;
  std::vector<float> none;
  EXPECT_TRUE(std::isnan(prepare_step(distributed, none)));  // 0 / 0, reaches no edge
}

TEST(Iterate, EmptyGraphStaysEmpty) {
  for (const bool barnes_hut : {false, true}) {
    LayoutSettings settings;
    settings.barnesHutOptimize = barnes_hut;
    settings.outboundAttractionDistribution = true;
    std::vector<float> nodes;
    iterate(settings, nodes, {});
    EXPECT_TRUE(nodes.empty());
  }
}

TEST(Iterate, EdgePastTheNodeMatrixIsFatal) {
  const std::vector<EdgeRecord> past_target{{0, 3, 1}};
  const std::vector<EdgeRecord> past_source{{7, 1, 1}};
  for (const bool barnes_hut : {false, true}) {
    LayoutSettings settings;
    settings.barnesHutOptimize = barnes_hut;
    std::vector<float> nodes = clustered_graph().nodes;
    nodes.resize(3 * node_stride);
    EXPECT_EQ(error_text([&] { iterate(settings, nodes, past_target); }),
              "index out of bounds: the len is 30 but the index is 30");
    EXPECT_EQ(error_text([&] { iterate(settings, nodes, past_source); }),
              "index out of bounds: the len is 30 but the index is 70");
  }
}

}  // namespace
}  // namespace tallow
