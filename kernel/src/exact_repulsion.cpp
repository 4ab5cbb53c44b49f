// Exact repulsion: every unordered pair of nodes once.
//
// Every contribution is rounded to f32 as it is stored, so the visiting order
// is part of the results: i from 1 up, j below i, i updated before j.
#include <cmath>
#include <cstdint>

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

void exact_repulsion(const LayoutSettings& settings, std::span<float> nodes) {
  const std::size_t count = nodes.size() / node_stride;
  if (settings.adjustSizes) {
    exact_repulsion</*with_sizes=*/true>(settings, nodes, count);
  } else {
    exact_repulsion</*with_sizes=*/false>(settings, nodes, count);
  }
}

}  // namespace tallow
