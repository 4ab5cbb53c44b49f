// A plain reference for the kernel tests: one ForceAtlas2 iteration and the
// Barnes-Hut region tree, written as directly as possible (f64 arithmetic, an
// f32 store after every contribution, nodes and edges in index order, a
// recursive walk). It shares no code with the kernel, so a slip on either
// side shows up as a differing bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "matrices.hpp"
#include "settings.hpp"

namespace tallow::testing_support {

// The region tree of the node matrix `v`: 9 values per region (node, centre x,
// centre y, half size, next, first child, mass, mass centre x, y).
inline std::vector<double> reference_tree(const std::vector<float>& v) {
  const std::size_t n = v.size() / node_stride;
  double min_x = std::numeric_limits<double>::infinity(), min_y = min_x;
  double max_x = -min_x, max_y = -min_x;
  for (std::size_t i = 0; i < n; ++i) {
    min_x = std::fmin(min_x, v[i * node_stride]);
    max_x = std::fmax(max_x, v[i * node_stride]);
    min_y = std::fmin(min_y, v[i * node_stride + 1]);
    max_y = std::fmax(max_y, v[i * node_stride + 1]);
  }
  const double wx = max_x - min_x, wy = max_y - min_y;
  if (wx > wy) {
    min_y = min_y + (wx - wy) * -0.5;
    max_y = wx + min_y;
  } else {
    min_x = min_x + (wy - wx) * -0.5;
    max_x = wy + min_x;
  }
  std::vector<double> t{-1, (max_x + min_x) * 0.5, (max_y + min_y) * 0.5,
                        std::fmax(max_x - min_x, max_y - min_y), -1, -1, 0, 0, 0};
  auto quadrant = [&t](std::size_t r, double x, double y) {
    return static_cast<std::size_t>(t[r + 5]) + 9 * ((x < t[r + 1] ? 0 : 2) + (y < t[r + 2] ? 0 : 1));
  };
  auto split = [&t](std::size_t r) {
    t[r + 5] = static_cast<double>(t.size());
    const double h = t[r + 3] * 0.5, cx = t[r + 1], cy = t[r + 2], after = t[r + 4];
    const double first = static_cast<double>(t.size());
    const double centres[4][2] = {{cx - h, cy - h}, {cx - h, cy + h}, {cx + h, cy - h}, {cx + h, cy + h}};
    for (int q = 0; q < 4; ++q) {
      const double next = q < 3 ? first + 9 * (q + 1) : after;
      t.insert(t.end(), {-1, centres[q][0], centres[q][1], h, next, -1, 0, 0, 0});
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double x = v[i * node_stride], y = v[i * node_stride + 1], m = v[i * node_stride + slot::mass];
    std::size_t r = 0;
    for (int budget = 3;;) {
      if (t[r + 5] >= 0) {
        const std::size_t q = quadrant(r, x, y);
        t[r + 7] = (x * m + t[r + 7] * t[r + 6]) / (t[r + 6] + m);
        t[r + 8] = (y * m + t[r + 8] * t[r + 6]) / (t[r + 6] + m);
        t[r + 6] = t[r + 6] + m;
        r = q;
      } else if (t[r] < 0) {
        t[r] = static_cast<double>(i * node_stride);
        break;
      } else {
        const std::size_t o = static_cast<std::size_t>(t[r]);
        split(r);
        const double ox = v[o], oy = v[o + 1];
        const std::size_t qo = quadrant(r, ox, oy);
        t[r + 6] = v[o + slot::mass];
        t[r + 7] = ox;
        t[r + 8] = oy;
        t[qo] = static_cast<double>(o);
        t[r] = -1;
        const std::size_t qn = quadrant(r, x, y);
        if (qn != qo) {
          t[qn] = static_cast<double>(i * node_stride);
          break;
        }
        if (budget == 0) break;
        --budget;
        r = qo;
      }
    }
  }
  return t;
}


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
    if (s.barnesHutOptimize) {
      const std::vector<double> tree = reference_tree(v);
      const std::vector<float> snapshot = v;  // widened on every read below
      for (std::size_t i = 0; i < n; ++i) walk(i, tree, snapshot, 0);
    } else {
      for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) repel(i, j);
      }
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

  // The Barnes-Hut walk of node i, recursive: children in quadrant order are
  // the pre-order that the kernel follows through its links.
  void walk(std::size_t i, const std::vector<double>& t, const std::vector<float>& snapshot,
            std::size_t r) {
    const double x = get(i, slot::x), y = get(i, slot::y), m = get(i, slot::mass);
    const double theta2 = s.barnesHutTheta * s.barnesHutTheta;
    if (t[r + 5] >= 0) {
      const double dX = x - t[r + 7], dY = y - t[r + 8], d2 = dX * dX + dY * dY;
      if ((4 * t[r + 3] * t[r + 3]) / d2 < theta2) {
        if (d2 > 0) {
          const double f = (t[r + 6] * (s.scalingRatio * m)) / d2;
          add(i, slot::dx, dX * f);
          add(i, slot::dy, dY * f);
        }
        return;
      }
      for (std::size_t c = 0; c < 4; ++c) {
        walk(i, t, snapshot, static_cast<std::size_t>(t[r + 5]) + 9 * c);
      }
    } else if (t[r] >= 0 && static_cast<std::size_t>(t[r]) != i * node_stride) {
      const std::size_t o = static_cast<std::size_t>(t[r]);
      const double dX = x - double{snapshot[o]}, dY = y - double{snapshot[o + 1]};
      const double d2 = dX * dX + dY * dY;
      if (d2 > 0) {
        const double f = (double{snapshot[o + slot::mass]} * (s.scalingRatio * m)) / d2;
        add(i, slot::dx, dX * f);
        add(i, slot::dy, dY * f);
      }
    }
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

}  // namespace tallow::testing_support
