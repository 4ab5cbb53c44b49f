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

namespace tallow {
namespace {

// ---- Reference step ------------------------------------------------------
// One iteration written as plainly as possible: f64 arithmetic, an f32 store
// after every contribution, nodes and edges in index order, exact repulsion.
// It shares no code with the kernel, so a slip on either side shows up.

struct Reference {
  const LayoutSettings& s;
  std::vector<float>& v;

  float& at(std::size_t node, std::size_t which) { return v[node * node_stride + which]; }
  double get(std::size_t node, std::size_t which) { return at(node, which); }
  void add(std::size_t node, std::size_t which, double value) {
    at(node, which) = static_cast<float>(get(node, which) + value);
  }
  void sub(std::size_t node, std::size_t which, double value) {
    at(node, which) = static_cast<float>(get(node, which) - value);
  }

  void step(const std::vector<EdgeRecord>& edges) {
    const std::size_t n = v.size() / node_stride;
    double c = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      at(i, slot::old_dx) = at(i, slot::dx);
      at(i, slot::old_dy) = at(i, slot::dy);
      at(i, slot::dx) = 0.0f;
      at(i, slot::dy) = 0.0f;
    }
    if (s.outboundAttractionDistribution) {
      for (std::size_t i = 0; i < n; ++i) c += get(i, slot::mass);
      c /= static_cast<double>(n);
    }
    for (std::size_t i = 1; i < n; ++i) {
      for (std::size_t j = 0; j < i; ++j) repel(i, j);
    }
    for (std::size_t i = 0; i < n; ++i) gravity(i);
    for (const EdgeRecord& e : edges) attract(e.source, e.target, e.weight, c);
    for (std::size_t i = 0; i < n; ++i) {
      if (at(i, slot::fixed) != 1.0f) move(i);
    }
  }

  void repel(std::size_t i, std::size_t j) {
    const double dX = get(i, slot::x) - get(j, slot::x), dY = get(i, slot::y) - get(j, slot::y);
    double f;
    if (s.adjustSizes) {
      const double d = std::sqrt(dX * dX + dY * dY) - get(i, slot::size) - get(j, slot::size);
      if (d > 0) {
        f = ((s.scalingRatio * get(i, slot::mass)) * get(j, slot::mass)) / d / d;
      } else if (d < 0) {
        f = ((s.scalingRatio * 100) * get(i, slot::mass)) * get(j, slot::mass);
      } else {
        return;
      }
    } else {
      const double d2 = dX * dX + dY * dY;
      if (!(d2 > 0)) return;
      const double d = std::sqrt(d2);
      f = ((s.scalingRatio * get(i, slot::mass)) * get(j, slot::mass)) / d / d;
    }
    add(i, slot::dx, dX * f);
    add(i, slot::dy, dY * f);
    sub(j, slot::dx, dX * f);
    sub(j, slot::dy, dY * f);
  }

  void gravity(std::size_t i) {
    const double q = s.gravity / s.scalingRatio;
    const double X = get(i, slot::x), Y = get(i, slot::y), r2 = X * X + Y * Y;
    double f = 0;
    if (r2 > 0) {
      f = s.strongGravityMode ? q * (s.scalingRatio * get(i, slot::mass))
                              : (q * (s.scalingRatio * get(i, slot::mass))) / std::sqrt(r2);
    }
    sub(i, slot::dx, f * X);
    sub(i, slot::dy, f * Y);
  }

  void attract(std::size_t src, std::size_t dst, float weight, double c) {
    const double w = std::pow(static_cast<double>(weight), s.edgeWeightInfluence);
    const double dX = get(src, slot::x) - get(dst, slot::x);
    const double dY = get(src, slot::y) - get(dst, slot::y);
    double d = 0;
    if (s.adjustSizes) {
      d = std::sqrt(dX * dX + dY * dY) - get(src, slot::size) - get(dst, slot::size);
      if (!(d > 0)) return;
    } else if (s.linLogMode) {
      d = std::sqrt(dX * dX + dY * dY);
      if (!(d > 0)) return;
    }
    const double m = get(src, slot::mass);
    double f;
    if (s.linLogMode) {
      f = s.outboundAttractionDistribution ? (((w * (-c)) * std::log(d + 1)) / d) / m
                                           : -(w * std::log(d + 1)) / d;
    } else {
      f = s.outboundAttractionDistribution ? (w * (-c)) / m : -w;
    }
    add(src, slot::dx, dX * f);
    add(src, slot::dy, dY * f);
    sub(dst, slot::dx, dX * f);
    sub(dst, slot::dy, dY * f);
  }

  static double norm(double x, double y) { return std::sqrt(x * x + y * y); }

  void move(std::size_t i) {
    double Fx = get(i, slot::dx), Fy = get(i, slot::dy);
    const double Ox = get(i, slot::old_dx), Oy = get(i, slot::old_dy), m = get(i, slot::mass);
    double factor;
    if (s.adjustSizes) {
      const double F = norm(Fx, Fy);
      if (F > 10) {
        at(i, slot::dx) = static_cast<float>((Fx * 10) / F);
        at(i, slot::dy) = static_cast<float>((Fy * 10) / F);
        Fx = get(i, slot::dx);
        Fy = get(i, slot::dy);
      }
      const double T = norm(Fx + Ox, Fy + Oy), S = norm(Ox - Fx, Oy - Fy);
      factor = ((std::log(T * 0.5 + 1) * 0.1) / (std::sqrt(S * m) + 1)) / s.slowDown;
    } else {
      const double k = get(i, slot::convergence);
      const double T = norm(Fx + Ox, Fy + Oy), S = norm(Ox - Fx, Oy - Fy);
      const double a = std::sqrt(S * m) + 1;
      const double g = (std::log(T * 0.5 + 1) * k) / a;
      const double next = std::sqrt(((Fx * Fx + Fy * Fy) * g) / a);
      at(i, slot::convergence) = static_cast<float>(std::isnan(next) || next > 1 ? 1.0 : next);
      factor = g / s.slowDown;
    }
    at(i, slot::x) = static_cast<float>(Fx * factor + get(i, slot::x));
    at(i, slot::y) = static_cast<float>(Fy * factor + get(i, slot::y));
  }
};

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
  std::uint32_t state = 12345;
  auto jitter = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
  };
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
