// Repulsion: exact over all pairs, or one Barnes-Hut walk per node.
//
// Every contribution is rounded to f32 as it is stored, so the visiting
// orders below are part of the results: exact pairs (i from 1 up, j below i,
// i updated before j); regions in the pre-order of their `next` threading.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "checked.hpp"
#include "iterate.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {
namespace {

// Overlapping pairs (exact mode with sizes) repel with this many times the
// scaling ratio, regardless of their distance.
constexpr double overlap_factor = 100.0;

// Covers every slot of every node in one test, so the pair loops index freely.
void require_whole_records(std::span<const float> nodes, std::size_t count) {
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::fixed);
  }
}

std::span<float, node_stride> node_record(std::span<float> nodes, std::size_t index) {
  require_index(nodes.size(), index * node_stride + slot::fixed);
  return std::span<float, node_stride>(nodes.data() + index * node_stride, node_stride);
}

// ---- exact modes -----------------------------------------------------------

// What the pair factor needs of node i, formed once per row.
struct Row {
  double scaled_mass;   // scalingRatio * m_i
  double overlap_mass;  // (scalingRatio * 100) * m_i, with sizes only
  double size;          // with sizes only
};

// The factor f of pair (i, j), or false when the pair exerts no force.
// Plain: f = scalingRatio * m_i * m_j / d / d for d2 > 0 (false for coincident
// nodes and NaN). With sizes, d is reduced by both sizes: apart (d > 0) the
// same formula; overlapping (d < 0) a flat (scalingRatio * 100) * m_i * m_j;
// touching (d = 0) or NaN, nothing.
template <bool with_sizes>
bool pair_factor(double dX, double dY, const Row& row, const float* nj, double& f) {
  const double mj = nj[slot::mass];
  if constexpr (with_sizes) {
    const double d = std::sqrt(dX * dX + dY * dY) - row.size - static_cast<double>(nj[slot::size]);
    if (d > 0) {
      f = row.scaled_mass * mj / d / d;
      return true;
    }
    if (d < 0) {
      f = row.overlap_mass * mj;
      return true;
    }
    return false;
  } else {
    const double d2 = dX * dX + dY * dY;
    if (!(d2 > 0)) {
      return false;
    }
    const double d = std::sqrt(d2);
    f = row.scaled_mass * mj / d / d;
    return true;
  }
}

// One pair's contribution, already multiplied out: added to i (kept in
// locals), subtracted from j (in the matrix), each rounded to f32.
inline void apply_pair(float& dxi, float& dyi, float* nj, double fx, double fy) {
  dxi = static_cast<float>(static_cast<double>(dxi) + fx);
  dyi = static_cast<float>(static_cast<double>(dyi) + fy);
  nj[slot::dx] = static_cast<float>(static_cast<double>(nj[slot::dx]) - fx);
  nj[slot::dy] = static_cast<float>(static_cast<double>(nj[slot::dy]) - fy);
}

#if defined(__SSE2__)
static_assert(slot::y == slot::x + 1 && slot::dy == slot::dx + 1 && slot::mass + 1 < node_stride &&
                  slot::size + 1 < node_stride,
              "the two-lane loop reads slots as adjacent pairs");

// Two adjacent f32 slots widened exactly to two f64 lanes.
__m128d load_pair(const float* slots) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(slots))));
}

// Two f64 lanes, each rounded to f32 on its own, into two adjacent slots.
void store_pair(float* slots, __m128d values) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(slots), _mm_castps_si128(_mm_cvtpd_ps(values)));
}

// apply_pair with (dx, dy) as the two lanes of one register.
inline void apply_pair_lanes(__m128d& force_i, float* nj, __m128d contribution) {
  force_i = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(force_i, contribution)));
  store_pair(nj + slot::dx, _mm_sub_pd(load_pair(nj + slot::dx), contribution));
}

// pair_factor for pairs (i, a) and (i, b) as two lanes; `apply` gets a bit per
// lane whose pair exerts a force.
template <bool with_sizes>
__m128d pair_factors(__m128d dX, __m128d dY, const Row& row, const float* a, const float* b,
                     int& apply) {
  const __m128d d2 = _mm_add_pd(_mm_mul_pd(dX, dX), _mm_mul_pd(dY, dY));
  const __m128d mj = _mm_unpacklo_pd(load_pair(a + slot::mass), load_pair(b + slot::mass));
  const __m128d scaled = _mm_mul_pd(_mm_set1_pd(row.scaled_mass), mj);
  const __m128d zero = _mm_setzero_pd();
  if constexpr (with_sizes) {
    const __m128d sizes = _mm_unpacklo_pd(load_pair(a + slot::size), load_pair(b + slot::size));
    const __m128d d = _mm_sub_pd(_mm_sub_pd(_mm_sqrt_pd(d2), _mm_set1_pd(row.size)), sizes);
    const __m128d apart = _mm_cmpgt_pd(d, zero);
    apply = _mm_movemask_pd(_mm_or_pd(apart, _mm_cmplt_pd(d, zero)));
    const __m128d f_apart = _mm_div_pd(_mm_div_pd(scaled, d), d);
    const __m128d f_overlap = _mm_mul_pd(_mm_set1_pd(row.overlap_mass), mj);
    return _mm_or_pd(_mm_and_pd(apart, f_apart), _mm_andnot_pd(apart, f_overlap));
  } else {
    apply = _mm_movemask_pd(_mm_cmpgt_pd(d2, zero));
    const __m128d d = _mm_sqrt_pd(d2);
    return _mm_div_pd(_mm_div_pd(scaled, d), d);
  }
}

// Pairs (i, j) and (i, j + 1) two at a time, for j from 0 while two remain;
// returns the first j left to do. Every lane performs the scalar operations
// in the scalar order (IEEE division and square root round the same in either
// form) and the contributions are applied one pair at a time in j order, so
// the bits are those of the scalar loop. Pairs share the divider, which bounds
// this loop; two lanes halve its work (1.5x faster at 5,000 nodes).
template <bool with_sizes>
std::size_t exact_pairs_two_lanes(float* base, std::size_t i, const Row& row, float& dxi,
                                  float& dyi) {
  const __m128d xy_i = load_pair(base + i * node_stride + slot::x);
  __m128d force_i = _mm_set_pd(dyi, dxi);
  std::size_t j = 0;
  for (; j + 1 < i; j += 2) {
    float* const a = base + j * node_stride;
    float* const b = a + node_stride;
    const __m128d delta_a = _mm_sub_pd(xy_i, load_pair(a + slot::x));  // (dX, dY) of (i, j)
    const __m128d delta_b = _mm_sub_pd(xy_i, load_pair(b + slot::x));
    int apply = 0;
    const __m128d f = pair_factors<with_sizes>(_mm_unpacklo_pd(delta_a, delta_b),
                                               _mm_unpackhi_pd(delta_a, delta_b), row, a, b, apply);
    if ((apply & 1) != 0) {
      apply_pair_lanes(force_i, a, _mm_mul_pd(delta_a, _mm_unpacklo_pd(f, f)));
    }
    if ((apply & 2) != 0) {
      apply_pair_lanes(force_i, b, _mm_mul_pd(delta_b, _mm_unpackhi_pd(f, f)));
    }
  }
  // The lanes hold f32 values exactly, so these conversions are exact.
  dxi = static_cast<float>(_mm_cvtsd_f64(force_i));
  dyi = static_cast<float>(_mm_cvtsd_f64(_mm_unpackhi_pd(force_i, force_i)));
  return j;
}
#endif

// Every unordered pair once: i from 1 up, j below i, i updated before j.
// Node i's force is carried in locals across its j loop: nobody else touches
// it meanwhile and each contribution is still rounded to f32, so the bits are
// those of storing after every pair.
template <bool with_sizes>
void exact_repulsion(const LayoutSettings& settings, std::span<float> nodes, std::size_t count) {
  require_whole_records(nodes, count);
  const double overlap_ratio = settings.scalingRatio * overlap_factor;
  float* const base = nodes.data();
  for (std::size_t i = 1; i < count; ++i) {
    float* const ni = base + i * node_stride;
    const double xi = ni[slot::x];
    const double yi = ni[slot::y];
    const double mi = ni[slot::mass];
    const Row row{settings.scalingRatio * mi, overlap_ratio * mi, ni[slot::size]};
    float dxi = ni[slot::dx];
    float dyi = ni[slot::dy];
    std::size_t j = 0;
#if defined(__SSE2__)
    j = exact_pairs_two_lanes<with_sizes>(base, i, row, dxi, dyi);
#endif
    for (; j < i; ++j) {
      float* const nj = base + j * node_stride;
      const double dX = xi - static_cast<double>(nj[slot::x]);
      const double dY = yi - static_cast<double>(nj[slot::y]);
      double f = 0;
      if (pair_factor<with_sizes>(dX, dY, row, nj, f)) {
        apply_pair(dxi, dyi, nj, dX * f, dY * f);
      }
    }
    ni[slot::dx] = dxi;
    ni[slot::dy] = dyi;
  }
}

}  // namespace

void bh_run_walks(const LayoutSettings& settings, std::span<float> nodes,
                  std::span<const double> regions, const StepBuffers& buffers,
                  std::size_t begin, std::size_t end) {
  const double coefficient = settings.scalingRatio;
  const double theta2 = settings.barnesHutTheta * settings.barnesHutTheta;
  if (!buffers.walk_order.empty()) {
    const std::span<const std::uint32_t> order = buffers.walk_order;
    for (std::size_t k = begin; k < end; ++k) {
      // The walks go in spatial order, so the records of their nodes are
      // scattered over the node matrix: fetch a few walks ahead.
      if (k + 4 < end) {
        __builtin_prefetch(nodes.data() + std::size_t{order[k + 4]} * node_stride + slot::dx, 1);
      }
      const std::uint32_t index = at(order, k);
      bh_node_repulsion(node_record(nodes, index), index, buffers.walk_tree, coefficient,
                        theta2);
    }
    return;
  }
  for (std::size_t k = begin; k < end; ++k) {
    bh_node_repulsion(settings, node_record(nodes, k), k * node_stride, buffers.snapshot,
                      regions, coefficient, theta2);
  }
}

void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions) {
  StepBuffers buffers;
  repulsion_phase(settings, nodes, regions, buffers);
}

void repulsion_phase(const LayoutSettings& settings, std::span<float> nodes,
                     std::span<const double> regions, StepBuffers& buffers) {
  const std::size_t count = nodes.size() / node_stride;
  if (count == 0) {
    return;
  }
  if (settings.barnesHutOptimize) {
    bh_run_walks(settings, nodes, regions, buffers, 0,
                 bh_prepare_step_walks(buffers, nodes, regions));
  } else if (settings.adjustSizes) {
    exact_repulsion</*with_sizes=*/true>(settings, nodes, count);
  } else {
    exact_repulsion</*with_sizes=*/false>(settings, nodes, count);
  }
}

// The walk descends through first_child while a region is too close to stand
// for its contents and moves on through next otherwise, so it needs no stack.
// Sizes are not consulted: the walk's forces are the same with adjustSizes set
// or clear.
void bh_node_repulsion(const LayoutSettings& /*settings*/, std::span<float, node_stride> node,
                       std::size_t key, std::span<const double> snapshot,
                       std::span<const double> regions, double coefficient, double theta2) {
  const double x = node[slot::x];
  const double y = node[slot::y];
  const double scaled_mass = coefficient * static_cast<double>(node[slot::mass]);
  // The node's force lives in locals for the walk: no other call writes it and
  // each contribution is still rounded to f32 as it is added.
  float dx = node[slot::dx];
  float dy = node[slot::dy];
  std::size_t r = 0;
  for (;;) {
    require_index(regions.size(), r + region::mass_center_y);
    const double* const reg = regions.data() + r;
    if (reg[region::first_child] >= 0) {
      const double dX = x - reg[region::mass_center_x];
      const double dY = y - reg[region::mass_center_y];
      const double d2 = dX * dX + dY * dY;
      const double half = reg[region::half_size];
      // Fails for d2 = 0 (+inf) and for NaN, which opens the region.
      if (!(4.0 * half * half / d2 < theta2)) {
        r = region_offset(reg[region::first_child]);
        continue;
      }
      if (d2 > 0) {
        const double f = reg[region::mass] * scaled_mass / d2;
        dx = static_cast<float>(static_cast<double>(dx) + dX * f);
        dy = static_cast<float>(static_cast<double>(dy) + dY * f);
      }
    } else if (reg[region::node] >= 0) {
      const std::size_t other = region_offset(reg[region::node]);
      if (other != key) {
        const std::size_t s = other / node_stride * snapshot_stride;
        require_index(snapshot.size(), s + snapshot_slot::mass);
        const double dX = x - snapshot[s + snapshot_slot::x];
        const double dY = y - snapshot[s + snapshot_slot::y];
        const double d2 = dX * dX + dY * dY;
        if (d2 > 0) {
          const double f = snapshot[s + snapshot_slot::mass] * scaled_mass / d2;
          dx = static_cast<float>(static_cast<double>(dx) + dX * f);
          dy = static_cast<float>(static_cast<double>(dy) + dY * f);
        }
      }
    }
    if (!(reg[region::next] >= 0)) {
      break;
    }
    r = region_offset(reg[region::next]);
  }
  node[slot::dx] = dx;
  node[slot::dy] = dy;
}

namespace {

// Where the walk goes on after opening region r, whose ratio is not finite:
// past the whole subtree when all its live records lie at the node's own
// point (each d2 is 0 or NaN there, so every region is opened and nothing is
// added), else to the next live record (the dead ones between add nothing).
std::size_t past_opened_region(const WalkTree& tree, std::size_t r, double x, double y) {
  const WalkShortcut shortcut = tree.shortcuts[r];
  if (shortcut.same_point == walk_all_dead) {
    return tree.skip[r];
  }
  if (shortcut.same_point != walk_mixed) {
    const WalkRecord& point = at(tree.records, shortcut.same_point);
    if (point.x == x && point.y == y) {
      return tree.skip[r];
    }
  }
  return shortcut.next_live;
}

}  // namespace

// The walk tree puts a region's subtree right after it, so opening a region
// is a step to the next record, with no dependent load on that path.
void bh_node_repulsion(std::span<float, node_stride> node, std::uint32_t index,
                       const WalkTree& tree, double coefficient, double theta2) {
  const double x = node[slot::x];
  const double y = node[slot::y];
  // Every d2 of a NaN node is NaN: no region stands for its subtree and no
  // leaf adds a force, so the walk would leave dx and dy as they are.
  if (std::isnan(x) || std::isnan(y)) {
    return;
  }
  const double scaled_mass = coefficient * static_cast<double>(node[slot::mass]);
  const double own_leaf = -(static_cast<double>(index) + 1.0);
  float dx = node[slot::dx];
  float dy = node[slot::dy];
  const WalkRecord* const records = tree.records.data();
  const std::uint32_t* const skip = tree.skip.data();
  const std::size_t count =
      std::min({tree.records.size(), tree.skip.size(), tree.shortcuts.size()});
  std::size_t r = 0;
  while (r < count) {  // the loop's bounds test: skips never point backwards
    const WalkRecord& record = records[r];
    const double dX = x - record.x;
    const double dY = y - record.y;
    const double d2 = dX * dX + dY * dY;
    if (!(record.opening < 0)) {  // a region, NaN opening included
      const double ratio = record.opening / d2;
      if (!(ratio < theta2)) {
        r = ratio < std::numeric_limits<double>::infinity() ? r + 1
                                                            : past_opened_region(tree, r, x, y);
        continue;
      }
      r = skip[r];
    } else {
      // Dead records add nothing, so a leaf that adds nothing may jump them.
      if (record.opening == own_leaf || !(d2 > 0)) {
        r = tree.shortcuts[r].next_live;
        continue;
      }
      ++r;
    }
    if (d2 > 0) {
      const double f = record.mass * scaled_mass / d2;
      dx = static_cast<float>(static_cast<double>(dx) + dX * f);
      dy = static_cast<float>(static_cast<double>(dy) + dY * f);
    }
  }
  node[slot::dx] = dx;
  node[slot::dy] = dy;
}

}  // namespace tallow
