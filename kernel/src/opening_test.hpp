// The Barnes-Hut opening test, mostly without its division.
#pragma once

#include <limits>

namespace tallow {

// What the opening test `opening / d2 < theta2` decides for a region: it
// stands for its subtree, it is opened with a finite ratio, or opened with an
// infinite or NaN one.
enum class Opening { stands, opens, opens_without_ratio };

// The opening test without the division where a product decides it beyond
// doubt. No double lies between a number and its rounding, so a double less
// than the rounded d2 * below is less than the exact product: the exact
// quotient is then less than `below` (a double a hair below theta2) and its
// rounding at most `below`, so the region stands. Likewise a double greater
// than the rounded d2 * theta2 puts the exact quotient above theta2 and its
// rounding at theta2 or more: the region opens, and `opening < d2 * 2^1000`
// (exact: a power of two) keeps that rounding finite. Quotients in between,
// and every NaN, take the division, so every decision is the division's.
class OpeningTest {
 public:
  explicit OpeningTest(double theta2) : theta2_(theta2) {
    // Far from the ends of the exponent range, `below` lies a relative 2^-48
    // under theta2; elsewhere no product decides that a region stands.
    if (theta2 >= 0x1p-900 && theta2 <= 0x1p900) {
      below_ = theta2 * (1.0 - 0x1p-48);
    }
  }

  // Openings below d2 * far keep the quotient finite.
  static constexpr double far = 0x1p1000;

  // The bound under theta2 by which a product decides that a region stands.
  double below() const { return below_; }

  Opening of(double opening, double d2) const {
    if (opening < d2 * below_) {
      return Opening::stands;
    }
    if (opening > d2 * theta2_ && opening < d2 * far) {
      return Opening::opens;
    }
    const double ratio = opening / d2;
    if (ratio < theta2_) {
      return Opening::stands;
    }
    return ratio < std::numeric_limits<double>::infinity() ? Opening::opens
                                                           : Opening::opens_without_ratio;
  }

 private:
  double theta2_;
  double below_ = -std::numeric_limits<double>::infinity();  // nothing stands by product
};

}  // namespace tallow
