// Exact repulsion: every unordered pair of nodes once.
//
// Every contribution is rounded to f32 as it is stored, so the visiting order
// is part of the results: i from 1 up, j below i, i updated before j. What
// that order fixes is each node's own sequence of contributions, so rows run
// eight at a time and, on the pool, tiles of the pair triangle run at once
// where they touch different nodes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "checked.hpp"
#include "exact_lanes.hpp"
#include "exact_tiles.hpp"
#include "fatal.hpp"
#include "iterate.hpp"
#include "node_phases.hpp"
#include "worker_pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#define TALLOW_EXACT_AVX2 1
#define TALLOW_AVX512 __attribute__((target("avx512f")))
#include <immintrin.h>
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

// Pairs (i, j) and (i, j + 1) two at a time, for j from `first` while two
// remain below `end`;
// returns the first j left to do. Every lane performs the scalar operations
// in the scalar order (IEEE division and square root round the same in either
// form) and the contributions are applied one pair at a time in j order, so
// the bits are those of the scalar loop. Pairs share the divider, which bounds
// this loop; two lanes halve its work (1.5x faster at 5,000 nodes).
template <bool with_sizes>
std::size_t exact_pairs_two_lanes(float* base, std::size_t i, std::size_t first, std::size_t end,
                                  const Row& row, float& dxi, float& dyi) {
  const __m128d xy_i = load_pair(base + i * node_stride + slot::x);
  __m128d force_i = _mm_set_pd(dyi, dxi);
  std::size_t j = first;
  for (; j + 1 < end; j += 2) {
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

// What the pairs of every row need, formed once per phase.
struct Coefficients {
  double scaling_ratio;
  double overlap_ratio;  // scalingRatio * 100, with sizes only
};

Row row_of(const Coefficients& c, const float* ni) {
  const double mi = ni[slot::mass];
  return {c.scaling_ratio * mi, c.overlap_ratio * mi, ni[slot::size]};
}

// Row i against columns [first, end), j ascending, every j below i. Node i's
// force is carried in locals across the loop: nobody else touches it
// meanwhile and each contribution is still rounded to f32, so the bits are
// those of storing after every pair.
template <bool with_sizes>
void row_against_columns(float* base, std::size_t i, std::size_t first, std::size_t end,
                         const Coefficients& c) {
  float* const ni = base + i * node_stride;
  const double xi = ni[slot::x];
  const double yi = ni[slot::y];
  const Row row = row_of(c, ni);
  float dxi = ni[slot::dx];
  float dyi = ni[slot::dy];
  std::size_t j = first;
#if defined(__SSE2__)
  j = exact_pairs_two_lanes<with_sizes>(base, i, first, end, row, dxi, dyi);
#endif
  for (; j < end; ++j) {
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

// ---- sixteen rows at once ----------------------------------------------------
//
// A row's force is one long chain of f64 additions and f32 roundings, so one
// row at a time runs at the chain's latency. The order fixes only each
// node's sequence of contributions: rows i..i+15 may run against column j
// together as long as j takes them in row order, and the pairs among the
// sixteen rows follow once their rows are complete. Lanes are rows; each
// lane performs the scalar operations in the scalar order, and IEEE
// arithmetic rounds the same in any lane, so the bits are those of the
// scalar loop.
//
// What the divider leaves bounds the loop by the chains of roundings, so
// they are spread out: the rows' forces, one link per column, run as one
// chain per register of rows; the columns' forces, one link per row, run a
// column per lane after a transpose of the rows' contributions, eight
// columns (two registers of them with AVX2, whose chains interleave) or
// sixteen at once. Groups are of sixteen rows, or eight where fewer remain.

constexpr std::size_t group_rows = 8;

#if defined(TALLOW_EXACT_AVX2)

// Four rows in the lanes of one register each.
struct Lanes4 {
  __m256d x, y, scaled, overlap, size, fx, fy;
};

__attribute__((target("avx2"))) inline __m256d widen4(const float* base, std::size_t first,
                                                      std::size_t slot_index) {
  return _mm256_setr_pd(base[first * node_stride + slot_index],
                        base[(first + 1) * node_stride + slot_index],
                        base[(first + 2) * node_stride + slot_index],
                        base[(first + 3) * node_stride + slot_index]);
}

__attribute__((target("avx2"))) Lanes4 load_rows(const float* base, std::size_t first,
                                                 const Coefficients& c) {
  Lanes4 rows;
  rows.x = widen4(base, first, slot::x);
  rows.y = widen4(base, first, slot::y);
  const __m256d mass = widen4(base, first, slot::mass);
  rows.scaled = _mm256_mul_pd(_mm256_set1_pd(c.scaling_ratio), mass);
  rows.overlap = _mm256_mul_pd(_mm256_set1_pd(c.overlap_ratio), mass);
  rows.size = widen4(base, first, slot::size);
  rows.fx = widen4(base, first, slot::dx);
  rows.fy = widen4(base, first, slot::dy);
  return rows;
}

__attribute__((target("avx2"))) void store_rows(float* base, std::size_t first,
                                                const Lanes4& rows) {
  alignas(32) double fx[4];
  alignas(32) double fy[4];
  _mm256_store_pd(fx, rows.fx);
  _mm256_store_pd(fy, rows.fy);
  for (std::size_t r = 0; r < 4; ++r) {
    base[(first + r) * node_stride + slot::dx] = static_cast<float>(fx[r]);  // exact
    base[(first + r) * node_stride + slot::dy] = static_cast<float>(fy[r]);
  }
}

__attribute__((target("avx2"))) inline __m256d round_to_f32(__m256d v) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
}

// The pairs of four rows with node j: each row's force takes its
// contribution; the contributions come back in `cx`, `cy`, +0 where the pair
// exerts no force (subtracting +0 leaves every value, -0 included, as it is).
template <bool with_sizes>
__attribute__((target("avx2"))) inline void pairs_with4(Lanes4& rows, const float* nj, __m256d& cx,
                                                        __m256d& cy) {
  const __m256d dX = _mm256_sub_pd(rows.x, _mm256_set1_pd(nj[slot::x]));
  const __m256d dY = _mm256_sub_pd(rows.y, _mm256_set1_pd(nj[slot::y]));
  const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dX, dX), _mm256_mul_pd(dY, dY));
  const __m256d mj = _mm256_set1_pd(nj[slot::mass]);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d scaled = _mm256_mul_pd(rows.scaled, mj);
  __m256d f;
  __m256d acts;
  if constexpr (with_sizes) {
    const __m256d d = _mm256_sub_pd(_mm256_sub_pd(_mm256_sqrt_pd(d2), rows.size),
                                    _mm256_set1_pd(nj[slot::size]));
    const __m256d apart = _mm256_cmp_pd(d, zero, _CMP_GT_OQ);
    acts = _mm256_or_pd(apart, _mm256_cmp_pd(d, zero, _CMP_LT_OQ));
    const __m256d f_apart = _mm256_div_pd(_mm256_div_pd(scaled, d), d);
    const __m256d f_overlap = _mm256_mul_pd(rows.overlap, mj);
    f = _mm256_blendv_pd(f_overlap, f_apart, apart);
  } else {
    acts = _mm256_cmp_pd(d2, zero, _CMP_GT_OQ);
    const __m256d d = _mm256_sqrt_pd(d2);
    f = _mm256_div_pd(_mm256_div_pd(scaled, d), d);
  }
  cx = _mm256_and_pd(acts, _mm256_mul_pd(dX, f));
  cy = _mm256_and_pd(acts, _mm256_mul_pd(dY, f));
  rows.fx = _mm256_blendv_pd(rows.fx, round_to_f32(_mm256_add_pd(rows.fx, cx)), acts);
  rows.fy = _mm256_blendv_pd(rows.fy, round_to_f32(_mm256_add_pd(rows.fy, cy)), acts);
}

// The 4x4 transpose: v[c] holds column c's values by row; t[r] gets row r's
// values by column.
__attribute__((target("avx2"))) inline void transpose4(const __m256d v[4], __m256d t[4]) {
  const __m256d rows02_01 = _mm256_unpacklo_pd(v[0], v[1]);  // rows 0, 2 of columns 0, 1
  const __m256d rows13_01 = _mm256_unpackhi_pd(v[0], v[1]);
  const __m256d rows02_23 = _mm256_unpacklo_pd(v[2], v[3]);
  const __m256d rows13_23 = _mm256_unpackhi_pd(v[2], v[3]);
  t[0] = _mm256_permute2f128_pd(rows02_01, rows02_23, 0x20);
  t[1] = _mm256_permute2f128_pd(rows13_01, rows13_23, 0x20);
  t[2] = _mm256_permute2f128_pd(rows02_01, rows02_23, 0x31);
  t[3] = _mm256_permute2f128_pd(rows13_01, rows13_23, 0x31);
}

// The forces (dx, dy) of columns j .. j + 3, widened exactly, one register
// per component, and stored back (exact: f32 values).
__attribute__((target("avx2"))) inline void load_columns4(const float* nj, __m256d& fx,
                                                          __m256d& fy) {
  __m128 pairs[4];
  for (std::size_t k = 0; k < 4; ++k) {
    const auto* slots = reinterpret_cast<const __m128i*>(nj + k * node_stride + slot::dx);
    pairs[k] = _mm_castsi128_ps(_mm_loadl_epi64(slots));
  }
  const __m128 low = _mm_movelh_ps(pairs[0], pairs[1]);  // dx0 dy0 dx1 dy1
  const __m128 high = _mm_movelh_ps(pairs[2], pairs[3]);
  fx = _mm256_cvtps_pd(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
  fy = _mm256_cvtps_pd(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
}

__attribute__((target("avx2"))) inline void store_columns4(float* nj, __m256d fx, __m256d fy) {
  const __m128 x = _mm256_cvtpd_ps(fx);
  const __m128 y = _mm256_cvtpd_ps(fy);
  const __m128 low = _mm_unpacklo_ps(x, y);  // dx0 dy0 dx1 dy1
  const __m128 high = _mm_unpackhi_ps(x, y);
  _mm_storel_pi(reinterpret_cast<__m64*>(nj + slot::dx), low);
  _mm_storeh_pi(reinterpret_cast<__m64*>(nj + node_stride + slot::dx), low);
  _mm_storel_pi(reinterpret_cast<__m64*>(nj + 2 * node_stride + slot::dx), high);
  _mm_storeh_pi(reinterpret_cast<__m64*>(nj + 3 * node_stride + slot::dx), high);
}

// Columns j .. j + 7 take the contributions of `groups` registers of rows
// (cx[g][c], cy[g][c] for column j + c, by row) in row order: a column per
// lane, two registers of columns whose chains of roundings interleave.
template <std::size_t groups>
__attribute__((target("avx2"))) inline void take_columns4(float* nj, const __m256d (*cx)[8],
                                                          const __m256d (*cy)[8]) {
  __m256d fx[2];
  __m256d fy[2];
  for (std::size_t s = 0; s < 2; ++s) {
    load_columns4(nj + 4 * s * node_stride, fx[s], fy[s]);
  }
  for (std::size_t g = 0; g < groups; ++g) {
    __m256d by_row_x[2][4];
    __m256d by_row_y[2][4];
    for (std::size_t s = 0; s < 2; ++s) {
      transpose4(cx[g] + 4 * s, by_row_x[s]);
      transpose4(cy[g] + 4 * s, by_row_y[s]);
    }
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t s = 0; s < 2; ++s) {
        fx[s] = round_to_f32(_mm256_sub_pd(fx[s], by_row_x[s][r]));
        fy[s] = round_to_f32(_mm256_sub_pd(fy[s], by_row_y[s][r]));
      }
    }
  }
  for (std::size_t s = 0; s < 2; ++s) {
    store_columns4(nj + 4 * s * node_stride, fx[s], fy[s]);
  }
}

// Rows [first, first + 4 * groups) against columns [begin, end), every
// column below the rows, end - begin a multiple of eight.
template <bool with_sizes, std::size_t groups>
__attribute__((target("avx2"))) void rows_against_columns4(float* base, std::size_t first,
                                                           std::size_t begin, std::size_t end,
                                                           const Coefficients& c) {
  Lanes4 rows[groups];
  for (std::size_t g = 0; g < groups; ++g) {
    rows[g] = load_rows(base, first + 4 * g, c);
  }
  for (std::size_t j = begin; j < end; j += 8) {
    float* const nj = base + j * node_stride;
    __m256d cx[groups][8];
    __m256d cy[groups][8];
    for (std::size_t k = 0; k < 8; ++k) {
      for (std::size_t g = 0; g < groups; ++g) {
        pairs_with4<with_sizes>(rows[g], nj + k * node_stride, cx[g][k], cy[g][k]);
      }
    }
    take_columns4<groups>(nj, cx, cy);
  }
  for (std::size_t g = 0; g < groups; ++g) {
    store_rows(base, first + 4 * g, rows[g]);
  }
}

// ---- sixteen rows in two registers (AVX-512) ---------------------------------
//
// The same rows and order with eight rows per register. Each 512-bit division
// or square root costs the divider about what a 256-bit one does, so eight
// lanes halve its work per pair.

// GCC 12 takes the undefined source operand of its AVX-512 intrinsics for an
// uninitialized value.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

struct Lanes8 {
  __m512d x, y, scaled, overlap, size, fx, fy;
};

TALLOW_AVX512 inline __m512d widen8(const float* base, std::size_t first, std::size_t slot_index) {
  const float* const at = base + first * node_stride + slot_index;
  return _mm512_cvtps_pd(_mm256_setr_ps(at[0], at[node_stride], at[2 * node_stride],
                                        at[3 * node_stride], at[4 * node_stride],
                                        at[5 * node_stride], at[6 * node_stride],
                                        at[7 * node_stride]));
}

TALLOW_AVX512 Lanes8 load_rows8(const float* base, std::size_t first, const Coefficients& c) {
  Lanes8 rows;
  rows.x = widen8(base, first, slot::x);
  rows.y = widen8(base, first, slot::y);
  const __m512d mass = widen8(base, first, slot::mass);
  rows.scaled = _mm512_mul_pd(_mm512_set1_pd(c.scaling_ratio), mass);
  rows.overlap = _mm512_mul_pd(_mm512_set1_pd(c.overlap_ratio), mass);
  rows.size = widen8(base, first, slot::size);
  rows.fx = widen8(base, first, slot::dx);
  rows.fy = widen8(base, first, slot::dy);
  return rows;
}

TALLOW_AVX512 void store_rows8(float* base, std::size_t first, const Lanes8& rows) {
  alignas(32) float fx[8];
  alignas(32) float fy[8];
  _mm256_store_ps(fx, _mm512_cvtpd_ps(rows.fx));  // exact: f32 values
  _mm256_store_ps(fy, _mm512_cvtpd_ps(rows.fy));
  for (std::size_t r = 0; r < 8; ++r) {
    base[(first + r) * node_stride + slot::dx] = fx[r];
    base[(first + r) * node_stride + slot::dy] = fy[r];
  }
}

// The pairs of the eight rows with node j: each row's force takes its
// contribution; the contributions come back in `cx`, `cy`, +0 where the pair
// exerts no force (subtracting +0 leaves every value, -0 included, as it is).
template <bool with_sizes>
TALLOW_AVX512 inline void pairs_with8(Lanes8& rows, const float* nj, __m512d& cx, __m512d& cy) {
  const __m512d dX = _mm512_sub_pd(rows.x, _mm512_set1_pd(nj[slot::x]));
  const __m512d dY = _mm512_sub_pd(rows.y, _mm512_set1_pd(nj[slot::y]));
  const __m512d d2 = _mm512_add_pd(_mm512_mul_pd(dX, dX), _mm512_mul_pd(dY, dY));
  const __m512d mj = _mm512_set1_pd(nj[slot::mass]);
  const __m512d scaled = _mm512_mul_pd(rows.scaled, mj);
  const __m512d zero = _mm512_setzero_pd();
  __mmask8 acts;
  __m512d f;
  if constexpr (with_sizes) {
    const __m512d d = _mm512_sub_pd(_mm512_sub_pd(_mm512_sqrt_pd(d2), rows.size),
                                    _mm512_set1_pd(nj[slot::size]));
    const __mmask8 apart = _mm512_cmp_pd_mask(d, zero, _CMP_GT_OQ);
    acts = static_cast<__mmask8>(apart | _mm512_cmp_pd_mask(d, zero, _CMP_LT_OQ));
    f = _mm512_mask_blend_pd(apart, _mm512_mul_pd(rows.overlap, mj),
                             _mm512_div_pd(_mm512_div_pd(scaled, d), d));
  } else {
    acts = _mm512_cmp_pd_mask(d2, zero, _CMP_GT_OQ);
    const __m512d d = _mm512_sqrt_pd(d2);
    f = _mm512_div_pd(_mm512_div_pd(scaled, d), d);
  }
  cx = _mm512_maskz_mul_pd(acts, dX, f);
  cy = _mm512_maskz_mul_pd(acts, dY, f);
  rows.fx = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mask_add_pd(rows.fx, acts, rows.fx, cx)));
  rows.fy = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mask_add_pd(rows.fy, acts, rows.fy, cy)));
}

// The 8x8 transpose: v[c] holds column c's values by row; t[r] gets row r's
// values by column.
TALLOW_AVX512 inline void transpose8(const __m512d v[8], __m512d t[8]) {
  __m512d pairs[8];  // (c, c + 1) of rows 0, 2, 4, 6 (even slots) or 1, 3, 5, 7
  for (int c = 0; c < 8; c += 2) {
    pairs[c] = _mm512_unpacklo_pd(v[c], v[c + 1]);
    pairs[c + 1] = _mm512_unpackhi_pd(v[c], v[c + 1]);
  }
  const __m512i rows_0_4 = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i rows_2_6 = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  for (int odd = 0; odd < 2; ++odd) {
    // Columns 0-3 and 4-7 of rows (0, 4) and (2, 6), shifted by one for odd rows.
    const __m512d low_04 = _mm512_permutex2var_pd(pairs[odd], rows_0_4, pairs[2 + odd]);
    const __m512d low_26 = _mm512_permutex2var_pd(pairs[odd], rows_2_6, pairs[2 + odd]);
    const __m512d high_04 = _mm512_permutex2var_pd(pairs[4 + odd], rows_0_4, pairs[6 + odd]);
    const __m512d high_26 = _mm512_permutex2var_pd(pairs[4 + odd], rows_2_6, pairs[6 + odd]);
    t[0 + odd] = _mm512_shuffle_f64x2(low_04, high_04, _MM_SHUFFLE(1, 0, 1, 0));
    t[4 + odd] = _mm512_shuffle_f64x2(low_04, high_04, _MM_SHUFFLE(3, 2, 3, 2));
    t[2 + odd] = _mm512_shuffle_f64x2(low_26, high_26, _MM_SHUFFLE(1, 0, 1, 0));
    t[6 + odd] = _mm512_shuffle_f64x2(low_26, high_26, _MM_SHUFFLE(3, 2, 3, 2));
  }
}

// Columns j .. j + 8 * sets - 1 take the contributions of `groups` registers
// of rows (cx[g][c], cy[g][c] for column j + c, by row) in row order: a column
// per lane, so the chains of roundings of eight columns run side by side, and
// those of the `sets` registers of columns interleave.
template <std::size_t groups, std::size_t sets>
TALLOW_AVX512 inline void take_columns(float* nj, const __m512d (*cx)[8 * sets],
                                       const __m512d (*cy)[8 * sets]) {
  // (dx, dy) of each of eight columns as one 64-bit element.
  const __m256i records = _mm256_setr_epi32(0, node_stride, 2 * node_stride, 3 * node_stride,
                                            4 * node_stride, 5 * node_stride, 6 * node_stride,
                                            7 * node_stride);
  __m512d fx[sets];
  __m512d fy[sets];
  for (std::size_t s = 0; s < sets; ++s) {
    const __m512 interleaved = _mm512_castsi512_ps(
        _mm512_i32gather_epi64(records, nj + 8 * s * node_stride + slot::dx, sizeof(float)));
    const __m512 split = _mm512_permutexvar_ps(
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15), interleaved);
    fx[s] = _mm512_cvtps_pd(_mm512_castps512_ps256(split));
    fy[s] = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(split), 1)));
  }
  for (std::size_t g = 0; g < groups; ++g) {
    __m512d by_row_x[sets][8];
    __m512d by_row_y[sets][8];
    for (std::size_t s = 0; s < sets; ++s) {
      transpose8(cx[g] + 8 * s, by_row_x[s]);
      transpose8(cy[g] + 8 * s, by_row_y[s]);
    }
    for (std::size_t r = 0; r < 8; ++r) {
      for (std::size_t s = 0; s < sets; ++s) {
        fx[s] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_sub_pd(fx[s], by_row_x[s][r])));
        fy[s] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_sub_pd(fy[s], by_row_y[s][r])));
      }
    }
  }
  for (std::size_t s = 0; s < sets; ++s) {
    const __m512 joined = _mm512_permutex2var_ps(
        _mm512_castps256_ps512(_mm512_cvtpd_ps(fx[s])),
        _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23),
        _mm512_castps256_ps512(_mm512_cvtpd_ps(fy[s])));
    _mm512_i32scatter_epi64(nj + 8 * s * node_stride + slot::dx, records,
                            _mm512_castps_si512(joined), sizeof(float));
  }
}

// The rows in `rows` against columns [begin, end), 8 * sets at a time while
// that many remain; returns the first column left.
template <bool with_sizes, std::size_t groups, std::size_t sets>
TALLOW_AVX512 std::size_t column_blocks(Lanes8 (&rows)[groups], float* base, std::size_t begin,
                                        std::size_t end) {
  constexpr std::size_t width = 8 * sets;
  std::size_t j = begin;
  for (; j + width <= end; j += width) {
    float* const nj = base + j * node_stride;
    __m512d cx[groups][width];
    __m512d cy[groups][width];
    for (std::size_t k = 0; k < width; ++k) {
      for (std::size_t g = 0; g < groups; ++g) {
        pairs_with8<with_sizes>(rows[g], nj + k * node_stride, cx[g][k], cy[g][k]);
      }
    }
    take_columns<groups, sets>(nj, cx, cy);
  }
  return j;
}

// Rows [first, first + 8 * groups) against columns [begin, end), every
// column below the rows, end - begin a multiple of eight: sixteen columns at
// a time, then eight.
template <bool with_sizes, std::size_t groups>
TALLOW_AVX512 void rows_against_columns8(float* base, std::size_t first, std::size_t begin,
                                         std::size_t end, const Coefficients& c) {
  Lanes8 rows[groups];
  for (std::size_t g = 0; g < groups; ++g) {
    rows[g] = load_rows8(base, first + 8 * g, c);
  }
  const std::size_t rest = column_blocks<with_sizes, groups, 2>(rows, base, begin, end);
  column_blocks<with_sizes, groups, 1>(rows, base, rest, end);
  for (std::size_t g = 0; g < groups; ++g) {
    store_rows8(base, first + 8 * g, rows[g]);
  }
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

ExactLanes widest_lanes_of_cpu() {
  if (__builtin_cpu_supports("avx512f")) {
    return ExactLanes::eight;
  }
  if (__builtin_cpu_supports("avx2")) {
    return ExactLanes::four;
  }
  return ExactLanes::two;
}
#else
ExactLanes widest_lanes_of_cpu() { return ExactLanes::two; }
#endif

// Rows [first, first + rows) against columns [begin, end) on the given
// path; `rows` is 8 or 16.
template <bool with_sizes>
void group_against_columns(ExactLanes lanes, std::size_t rows, float* base, std::size_t first,
                           std::size_t begin, std::size_t end, const Coefficients& c) {
#if defined(TALLOW_EXACT_AVX2)
  // Whole blocks of eight columns (tiles and groups start at multiples of
  // eight, so that is all of them); any left over follow row by row, each
  // row taking its columns in order and each column its rows in order.
  const std::size_t cut = begin + (end - begin) / group_rows * group_rows;
  const bool sixteen = rows == 2 * group_rows;
  if (lanes == ExactLanes::eight && sixteen) {
    rows_against_columns8<with_sizes, 2>(base, first, begin, cut, c);
  } else if (lanes == ExactLanes::eight) {
    rows_against_columns8<with_sizes, 1>(base, first, begin, cut, c);
  } else if (sixteen) {
    rows_against_columns4<with_sizes, 4>(base, first, begin, cut, c);
  } else {
    rows_against_columns4<with_sizes, 2>(base, first, begin, cut, c);
  }
  for (std::size_t r = first; cut < end && r < first + rows; ++r) {
    row_against_columns<with_sizes>(base, r, cut, end, c);
  }
#else
  (void)lanes, (void)rows, (void)base, (void)first, (void)begin, (void)end, (void)c;
#endif
}

// Rows [row_begin, row_end) against columns [column_begin, column_end): a
// rectangle below the diagonal (column_end <= row_begin), or the triangle of
// one block (the same range twice, j below i within it).
template <bool with_sizes>
void exact_tile(float* base, std::size_t row_begin, std::size_t row_end, std::size_t column_begin,
                std::size_t column_end, const Coefficients& c, ExactLanes lanes) {
  const bool triangle = row_begin == column_begin;
  std::size_t i = row_begin;
  if (lanes != ExactLanes::two) {
    const std::size_t widest_group = 2 * group_rows;
    while (i + group_rows <= row_end) {
      const std::size_t rows = i + widest_group <= row_end ? widest_group : group_rows;
      group_against_columns<with_sizes>(lanes, rows, base, i, column_begin,
                                        triangle ? i : column_end, c);
      if (triangle) {
        for (std::size_t r = i + 1; r < i + rows; ++r) {
          row_against_columns<with_sizes>(base, r, i, r, c);
        }
      }
      i += rows;
    }
  }
  for (; i < row_end; ++i) {
    row_against_columns<with_sizes>(base, i, column_begin, triangle ? i : column_end, c);
  }
}

template <bool with_sizes>
void exact_repulsion(ExactLanes lanes, const LayoutSettings& settings, std::span<float> nodes,
                     std::size_t count) {
  require_whole_records(nodes, count);
  const Coefficients c{settings.scalingRatio, settings.scalingRatio * overlap_factor};
  exact_tile<with_sizes>(nodes.data(), 0, count, 0, count, c, lanes);
}

// ---- tiles on the pool --------------------------------------------------------
//
// With the nodes cut into blocks, tile (I, J), I >= J, holds the pairs of
// rows in block I with columns in block J. A node of block K takes its pairs
// in the order of tiles (K, 0), ..., (K, K), (K + 1, K), ..., so tile (I, J)
// must follow (I, J - 1) and (I - 1, J), and nothing else: any two tiles that
// share a block are ordered through these two. Workers take the tiles one at
// a time in anti-diagonal order (I + J = 0, 1, ...) and each waits only for
// its tile's two predecessors, which were handed out earlier: no worker waits
// for a whole anti-diagonal, and the earliest unfinished tile can always run.
// A waiting worker spins, then yields, instead of sleeping: waking a
// sleeping thread can cost more than a tile (with a pool loop per
// anti-diagonal, two threads were often no faster than one at 5,000 nodes on
// a 2-core virtual machine).

}  // namespace

ExactTiles::ExactTiles(const LayoutSettings& settings, std::span<float> nodes, bool rotates)
    : settings_(settings),
      nodes_(nodes.data()),
      count_(nodes.size() / node_stride),
      rotates_(rotates),
      lanes_(widest_exact_lanes()),
      // Blocks of 64 rows give a 1,000-node graph 15 blocks: two threads
      // were 1.64-1.77 times as fast as one, against 1.57-1.58 with blocks of
      // 128 (7 blocks), whose first and last tiles kept one thread waiting.
      // From 1,024 nodes there are 16 blocks.
      blocks_(std::clamp<std::size_t>(count_ / 64, 1, 16)),
      finished_(blocks_ * blocks_) {
  require_whole_records(nodes, count_);
  for (std::size_t wave = 0; wave + 1 < 2 * blocks_; ++wave) {
    const std::size_t first_row_block = (wave + 1) / 2;  // J <= I
    const std::size_t last_row_block = std::min(wave, blocks_ - 1);
    for (std::size_t t = 0; t <= last_row_block - first_row_block; ++t) {
      const std::size_t row_block = last_row_block - t;  // rectangles first, triangle last
      tiles_.push_back({row_block, wave - row_block});
    }
  }
}

// Block k's first node; blocks start at multiples of sixteen rows, so that
// rows go sixteen at a time (two groups) wherever they can.
std::size_t ExactTiles::block_start(std::size_t k) const {
  return k == blocks_ ? count_ : count_ * k / blocks_ / (2 * group_rows) * (2 * group_rows);
}

void ExactTiles::rewind() {
  ++pass_;
  next_tile_.store(0, std::memory_order_relaxed);
}

bool ExactTiles::wait_for(std::size_t tile_index, const TeamBarrier* team) const {
  unsigned spins = 0;
  while (finished_[tile_index].load(std::memory_order_acquire) != pass_) {
    if (team != nullptr && team->stopped()) {
      return false;
    }
    pause_while_waiting(spins);
  }
  return true;
}

bool ExactTiles::run(const TeamBarrier* team) {
  return settings_.adjustSizes ? run_tiles</*with_sizes=*/true>(team)
                               : run_tiles</*with_sizes=*/false>(team);
}

template <bool with_sizes>
bool ExactTiles::run_tiles(const TeamBarrier* team) {
  const Coefficients c{settings_.scalingRatio, settings_.scalingRatio * overlap_factor};
  for (std::size_t t = next_tile_.fetch_add(1, std::memory_order_relaxed); t < tiles_.size();
       t = next_tile_.fetch_add(1, std::memory_order_relaxed)) {
    const auto [row_block, column_block] = tiles_[t];
    const std::size_t index = row_block * blocks_ + column_block;
    if (column_block > 0 && !wait_for(index - 1, team)) {
      return false;
    }
    if (row_block > column_block && !wait_for(index - blocks_, team)) {
      return false;
    }
    const std::size_t first_row = block_start(row_block);
    const std::size_t end_row = block_start(row_block + 1);
    if (rotates_ && column_block == 0) {  // every other tile of these rows comes later
      rotate_forces_range(std::span<float>(nodes_, count_ * node_stride), first_row, end_row);
    }
    exact_tile<with_sizes>(nodes_, first_row, end_row, block_start(column_block),
                           block_start(column_block + 1), c, lanes_);
    finished_[index].store(pass_, std::memory_order_release);
  }
  return true;
}

void exact_repulsion_on_pool(WorkerPool& pool, const LayoutSettings& settings,
                             std::span<float> nodes) {
  const std::size_t count = nodes.size() / node_stride;
  if (count < min_nodes_exact_tiles || pool.size() < 2) {
    exact_repulsion(settings, nodes);
  } else {
    ExactTiles tiles(settings, nodes, /*rotates=*/false);
    pool.for_each(
        pool.size(), [&tiles](std::size_t, std::size_t) { tiles.run(); },
        /*largest_range=*/1);
  }
}

ExactLanes widest_exact_lanes() {
  static const ExactLanes widest = widest_lanes_of_cpu();
  return widest;
}

void exact_repulsion_on_lanes(ExactLanes lanes, const LayoutSettings& settings,
                              std::span<float> nodes) {
  if (lanes > widest_exact_lanes()) {
    fatal("exact repulsion asked for a vector path this CPU does not have");
  }
  const std::size_t count = nodes.size() / node_stride;
  if (settings.adjustSizes) {
    exact_repulsion</*with_sizes=*/true>(lanes, settings, nodes, count);
  } else {
    exact_repulsion</*with_sizes=*/false>(lanes, settings, nodes, count);
  }
}

void exact_repulsion(const LayoutSettings& settings, std::span<float> nodes) {
  exact_repulsion_on_lanes(widest_exact_lanes(), settings, nodes);
}

}  // namespace tallow
