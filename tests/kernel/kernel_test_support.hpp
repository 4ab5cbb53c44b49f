// Helpers shared by the kernel tests: bit-for-bit float comparison and small
// node matrices built from positions and masses.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <sstream>
#include <type_traits>
#include <vector>

#include "matrices.hpp"

namespace tallow::testing_support {

// Equal bits, both values in hexfloat on a mismatch. Any NaN matches any NaN:
// the payload and sign the hardware gives a NaN carry no meaning.
template <class Float>
::testing::AssertionResult same_bits(Float actual, std::type_identity_t<Float> expected) {
  static_assert(std::is_floating_point_v<Float>);
  using Bits = std::conditional_t<sizeof(Float) == 4, std::uint32_t, std::uint64_t>;
  if (std::bit_cast<Bits>(actual) == std::bit_cast<Bits>(expected) ||
      (std::isnan(actual) && std::isnan(expected))) {
    return ::testing::AssertionSuccess();
  }
  std::ostringstream text;
  text << std::hexfloat << actual << " (" << std::defaultfloat << actual
       << ") differs from expected " << std::hexfloat << expected << " (" << std::defaultfloat
       << expected << ")";
  return ::testing::AssertionFailure() << text.str();
}

// Seeded offsets in [-0.5, 0.5) from a linear congruential generator: the
// same sequence with every compiler and standard library.
class Jitter {
 public:
  explicit Jitter(std::uint32_t seed) : state_(seed) {}
  double operator()() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<double>(state_ >> 8) / 16777216.0 - 0.5;
  }

 private:
  std::uint32_t state_;
};

struct Body {
  double x;
  double y;
  double mass = 1.0;
};

// One node per body, as freshly built: zero forces, convergence and size 1.
inline NodeMatrix make_nodes(const std::vector<Body>& bodies) {
  NodeMatrix nodes(bodies.size() * node_stride, 0.0f);
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    float* node = nodes.data() + i * node_stride;
    node[slot::x] = static_cast<float>(bodies[i].x);
    node[slot::y] = static_cast<float>(bodies[i].y);
    node[slot::mass] = static_cast<float>(bodies[i].mass);
    node[slot::convergence] = 1.0f;
    node[slot::size] = 1.0f;
  }
  return nodes;
}

// Start positions on which the Barnes-Hut region tree degenerates into chains
// of single-child levels, each a way for a shortcut to go wrong.
enum class Degenerate {
  coincident,            // all at one point, whole masses: mass centres stay exact
  coincident_fractions,  // all at one point, fractional masses: centres drift by ulps
  coincident_heavy,      // all at one point, masses near 2^24: products round
  clusters,              // coincident clusters among spread nodes
  with_nan,              // spread nodes, some with a NaN coordinate
  coincident_with_nan,   // one point, every fifth node NaN: mixed chains
  all_nan,               // nothing but NaN
  infinite,              // spread nodes, one infinite coordinate: NaN region centres
                         // and infinite openings
  at_mass_centres,       // pairs around a point whose mass centres are that point,
                         // and nodes on it
};

inline std::string degenerate_name(Degenerate kind) {
  switch (kind) {
    case Degenerate::coincident: return "coincident";
    case Degenerate::coincident_fractions: return "coincident_fractions";
    case Degenerate::coincident_heavy: return "coincident_heavy";
    case Degenerate::clusters: return "clusters";
    case Degenerate::with_nan: return "with_nan";
    case Degenerate::coincident_with_nan: return "coincident_with_nan";
    case Degenerate::all_nan: return "all_nan";
    case Degenerate::infinite: return "infinite";
    case Degenerate::at_mass_centres: return "at_mass_centres";
  }
  return "unknown";
}

inline std::vector<Body> degenerate_bodies(Degenerate kind, std::size_t n) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  Jitter jitter(2024u);
  std::vector<Body> bodies;
  for (std::size_t i = 0; i < n; ++i) {
    const double whole = 1.0 + static_cast<double>(i % 5);
    const double fraction = 1.3 + 0.7 * static_cast<double>(i % 4);
    Body spread{200.0 * jitter(), 200.0 * jitter(), whole};
    switch (kind) {
      case Degenerate::coincident: bodies.push_back({0.1, 0.3, whole}); break;
      case Degenerate::coincident_fractions: bodies.push_back({3.7, -1.2, fraction}); break;
      case Degenerate::coincident_heavy:
        bodies.push_back({3.7, -1.2, 0x1p24 - 2 * static_cast<double>(i % 9)});
        break;
      case Degenerate::clusters: {
        const Body points[] = {{10.5, -3.25, whole}, {-40.1, 7.7, fraction}, {0, 0, whole}};
        bodies.push_back(i % 3 == 0 ? spread : points[i % 3 == 1 ? (i / 3) % 3 : 2]);
        break;
      }
      case Degenerate::with_nan:
        if (i % 7 == 3) spread.x = nan;
        if (i % 11 == 5) spread.y = nan;
        bodies.push_back(spread);
        break;
      case Degenerate::coincident_with_nan:
        bodies.push_back({i % 5 == 2 ? nan : 3.7, -1.2, whole});
        break;
      case Degenerate::all_nan: bodies.push_back({nan, nan, whole}); break;
      case Degenerate::infinite:
        // Node 0 ends up alone below a chain of regions that nothing can
        // stand for; node 5 shares its x, node 6 its y.
        if (i == 3) spread.x = std::numeric_limits<double>::infinity();
        if (i == 5) spread.x = bodies[0].x;
        if (i == 6) spread.y = bodies[0].y;
        bodies.push_back(spread);
        break;
      case Degenerate::at_mass_centres: {
        const double d = static_cast<double>(1 + (i / 5) % 4);
        const Body around[] = {{5 + d, 5, 1}, {5 - d, 5, 1}, {5, 5 + d, 1}, {5, 5 - d, 1},
                               {5, 5, whole}};
        bodies.push_back(around[i % 5]);
        break;
      }
    }
  }
  return bodies;
}

inline constexpr Degenerate every_degenerate[] = {
    Degenerate::coincident,          Degenerate::coincident_fractions,
    Degenerate::coincident_heavy,    Degenerate::clusters,
    Degenerate::with_nan,            Degenerate::coincident_with_nan,
    Degenerate::all_nan,             Degenerate::infinite,
    Degenerate::at_mass_centres};

// `n` nodes spread around the origin and 3n weighted edges from `seed`, with
// a self-loop every `loop_every` edges, the first edge repeated at the end,
// and every `pin_every`-th node pinned and sized: every branch of a step's
// per-node phases counts.
inline Matrices mixed_graph(std::uint32_t n, std::uint32_t seed, std::uint32_t loop_every,
                            std::uint32_t pin_every, float size) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> node(0, n - 1);
  std::uniform_real_distribution<double> weight(0.25, 4.0);
  std::normal_distribution<double> spread(0.0, 40.0);
  std::vector<EdgePair> edges;
  std::vector<double> weights;
  for (std::uint32_t k = 0; k < 3 * n; ++k) {
    const std::uint32_t source = node(rng);
    edges.push_back({source, k % loop_every == 0 ? source : node(rng)});
    weights.push_back(weight(rng));
  }
  edges.push_back(edges.front());
  weights.push_back(weights.front());
  std::vector<Point> init;
  for (std::uint32_t i = 0; i < n; ++i) {
    init.push_back({spread(rng), spread(rng)});
  }
  Matrices m = graph_to_matrices(n, edges, weights, init);
  for (std::uint32_t i = 0; i < n; i += pin_every) {
    m.nodes[i * node_stride + slot::fixed] = 1.0f;
    m.nodes[i * node_stride + slot::size] = size;
  }
  return m;
}

}  // namespace tallow::testing_support
