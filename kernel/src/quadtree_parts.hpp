// What the whole tree's insertion and the routing above the cells share: the
// nodes' square, the root, quadrants, children and mass centres, each with
// the arithmetic the region matrix is held to.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "checked.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {

// A region's four children are appended together, one stride apart.
inline constexpr std::size_t children_values = 4 * region_stride;

// A node's insertion may split its way down four levels (the first split and
// three more) before two nodes in the same quadrant stop it.
inline constexpr int splits_after_first = 3;

struct Box {
  double min_x = std::numeric_limits<double>::infinity();
  double min_y = std::numeric_limits<double>::infinity();
  double max_x = -std::numeric_limits<double>::infinity();
  double max_y = -std::numeric_limits<double>::infinity();
};

// NaN-ignoring bounds of all positions, in node order (all nodes checked by the caller).
inline Box bounding_box(std::span<const float> nodes, std::size_t count) {
  Box box;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = nodes[i * node_stride + slot::x];
    const double y = nodes[i * node_stride + slot::y];
    box.min_x = std::fmin(box.min_x, x);
    box.max_x = std::fmax(box.max_x, x);
    box.min_y = std::fmin(box.min_y, y);
    box.max_y = std::fmax(box.max_y, y);
  }
  return box;
}

// Widens the narrower side about its centre so the box becomes a square. With
// a NaN width (no nodes) the x side is the one rewritten, as for wx <= wy.
inline void make_square(Box& box) {
  const double wx = box.max_x - box.min_x;
  const double wy = box.max_y - box.min_y;
  if (wx > wy) {
    box.min_y = box.min_y + (wx - wy) * -0.5;
    box.max_y = wx + box.min_y;
  } else {
    box.min_x = box.min_x + (wy - wx) * -0.5;
    box.max_x = wy + box.min_x;
  }
}

// The root's half_size is the whole side of the square, so the root's
// children are centred on the square's corners.
template <class Regions>
void append_root(Regions& regions, const Box& box) {
  regions.resize(region_stride, 0.0);
  regions[region::node] = -1.0;
  regions[region::center_x] = (box.max_x + box.min_x) * 0.5;
  regions[region::center_y] = (box.max_y + box.min_y) * 0.5;
  regions[region::half_size] = std::fmax(box.max_x - box.min_x, box.max_y - box.min_y);
  regions[region::next] = -1.0;
  regions[region::first_child] = -1.0;
}

// Quadrant 0..3 of (x, y) about a centre. A coordinate on the centre line, or
// NaN, fails the less-than test and so belongs to the upper side.
inline std::size_t quadrant(double x, double y, double center_x, double center_y) {
  return (x < center_x ? 0 : 2) + (y < center_y ? 0 : 1);
}

// Appends the four children of the leaf at `parent` and links them in
// pre-order; returns the offset of the first one.
template <class Regions>
std::size_t append_children(Regions& regions, std::size_t parent) {
  const std::size_t first = regions.size();
  regions.resize(first + children_values, 0.0);
  const double* p = regions.data() + parent;
  const double h = p[region::half_size] * 0.5;
  const double center_x[4] = {p[region::center_x] - h, p[region::center_x] - h,
                              p[region::center_x] + h, p[region::center_x] + h};
  const double center_y[4] = {p[region::center_y] - h, p[region::center_y] + h,
                              p[region::center_y] - h, p[region::center_y] + h};
  const double parent_next = p[region::next];
  for (std::size_t q = 0; q < 4; ++q) {
    double* child = regions.data() + first + q * region_stride;
    child[region::node] = -1.0;
    child[region::center_x] = center_x[q];
    child[region::center_y] = center_y[q];
    child[region::half_size] = h;
    child[region::next] = q < 3 ? static_cast<double>(first + (q + 1) * region_stride)
                                : parent_next;
    child[region::first_child] = -1.0;
  }
  regions[parent + region::first_child] = static_cast<double>(first);
  return first;
}

struct Body {
  std::size_t offset;  // node-matrix base offset
  double x;
  double y;
  double mass;
};

// The body at `offset` of the node matrix, or, with the packed mass slot, of
// a cell's packed bodies (x and y lie in the same slots in both).
template <std::size_t mass_slot = slot::mass>
Body read_body(std::span<const float> nodes, std::size_t offset) {
  static_assert(quadtree::packed_body::x == slot::x && quadtree::packed_body::y == slot::y);
  require_index(nodes.size(), offset + mass_slot);
  return {offset, nodes[offset + slot::x], nodes[offset + slot::y], nodes[offset + mass_slot]};
}

// Adds a node passing through a region with children to its mass centre
// (using the mass from before the node) and then to its mass.
inline void accumulate(double* r, const Body& n) {
  const double total = r[region::mass] + n.mass;
#if defined(__SSE2__)
  // x and y in the two lanes of one register, each lane with the operations
  // below in their order: the same bits from one division instead of two.
  static_assert(region::mass_center_y == region::mass_center_x + 1);
  const __m128d weighted = _mm_mul_pd(_mm_set_pd(n.y, n.x), _mm_set1_pd(n.mass));
  const __m128d held = _mm_mul_pd(_mm_loadu_pd(r + region::mass_center_x),
                                  _mm_set1_pd(r[region::mass]));
  _mm_storeu_pd(r + region::mass_center_x,
                _mm_div_pd(_mm_add_pd(weighted, held), _mm_set1_pd(total)));
#else
  r[region::mass_center_x] = (n.x * n.mass + r[region::mass_center_x] * r[region::mass]) / total;
  r[region::mass_center_y] = (n.y * n.mass + r[region::mass_center_y] * r[region::mass]) / total;
#endif
  r[region::mass] = total;
}

}  // namespace tallow
