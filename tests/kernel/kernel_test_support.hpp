// Helpers shared by the kernel tests: bit-for-bit float comparison and small
// node matrices built from positions and masses.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
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

}  // namespace tallow::testing_support
