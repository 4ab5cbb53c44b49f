// Barnes-Hut walks in packets of eight. One walk per node spends most of its
// time on branches it cannot predict: whether a region stands for its subtree
// or is opened. Neighbouring nodes mostly decide alike, so eight of them walk
// the records together and take one branch per record for all eight, while
// every lane keeps its node's own decisions and arithmetic.
//
// Each lane is a node's walk: the records it visits are those its own walk
// visits, in the same pre-order, with the same f64 operations and an f32
// rounding after each force. The packet visits a record when at least one
// lane does; the lanes that do are `active`. When a region stands for some
// active lanes and is opened by others, the ones that open it walk its
// subtree while the others wait for its end (a frame on a small stack).
//
// The walk is written once (packet_walk_loop.inc) over a handful of lane
// operations and compiled twice: with one 512-bit register for the eight
// lanes (AVX-512) and with two 256-bit ones (AVX2). Each lane performs the
// same IEEE operations either way.
#include "packet_walks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "checked.hpp"
#include "fatal.hpp"
#include "opening_test.hpp"
#include "walk_rules.hpp"

#if defined(__GNUC__) && defined(__x86_64__)
#define TALLOW_PACKET_WALKS 1
#include <immintrin.h>
#endif

namespace tallow {
namespace {

constexpr std::size_t lanes = 8;

// A region partly opened: the lanes to wake when the walk reaches `end`.
struct Frame {
  std::uint32_t end;
  std::uint8_t waiting;
};

// A lane that leaves the packet at `record`, to go on alone from there.
struct Departure {
  std::uint8_t lane;
  std::uint32_t record;
};

}  // namespace

#if defined(TALLOW_PACKET_WALKS)

// ---- eight lanes in one 512-bit register ----------------------------------
namespace packet_512 {
namespace {

#define PACKET_TARGET __attribute__((target("avx512f,avx512dq")))

using V = __m512d;
using Mask = std::uint8_t;  // a bit a lane

PACKET_TARGET inline V v_set1(double v) { return _mm512_set1_pd(v); }
PACKET_TARGET inline V v_load(const double* a) { return _mm512_load_pd(a); }
PACKET_TARGET inline void v_store(double* a, V v) { _mm512_store_pd(a, v); }
PACKET_TARGET inline V v_add(V a, V b) { return _mm512_add_pd(a, b); }
PACKET_TARGET inline V v_sub(V a, V b) { return _mm512_sub_pd(a, b); }
PACKET_TARGET inline V v_mul(V a, V b) { return _mm512_mul_pd(a, b); }
PACKET_TARGET inline V v_div(V a, V b) { return _mm512_div_pd(a, b); }
// The zero-masked forms: the plain ones start from an undefined register
// that GCC warns about.
PACKET_TARGET inline V v_sqrt(V a) { return _mm512_maskz_sqrt_pd(0xFF, a); }
// The f32 rounding of every lane, kept as f64.
PACKET_TARGET inline V v_round_f32(V v) {
  return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, v));
}
// Comparisons, as C++'s operators decide them, of the lanes `within`.
PACKET_TARGET inline Mask v_gt(V a, V b, Mask within) {
  return _mm512_mask_cmp_pd_mask(within, a, b, _CMP_GT_OQ);
}
PACKET_TARGET inline Mask v_lt(V a, V b, Mask within) {
  return _mm512_mask_cmp_pd_mask(within, a, b, _CMP_LT_OQ);
}
PACKET_TARGET inline Mask v_ne(V a, V b, Mask within) {
  return _mm512_mask_cmp_pd_mask(within, a, b, _CMP_NEQ_UQ);
}
// `taken` in the lanes of `m`, `kept` in the others.
PACKET_TARGET inline V v_select(V kept, Mask m, V taken) {
  return _mm512_mask_mov_pd(kept, m, taken);
}

#include "packet_walk_loop.inc"

#undef PACKET_TARGET

}  // namespace
}  // namespace packet_512

// ---- eight lanes in two 256-bit registers ----------------------------------
namespace packet_256 {
namespace {

#define PACKET_TARGET __attribute__((target("avx2")))

struct V {
  __m256d low;   // lanes 0 to 3
  __m256d high;  // lanes 4 to 7
};
using Mask = std::uint8_t;  // a bit a lane

PACKET_TARGET inline V v_set1(double v) { return {_mm256_set1_pd(v), _mm256_set1_pd(v)}; }
PACKET_TARGET inline V v_load(const double* a) {
  return {_mm256_load_pd(a), _mm256_load_pd(a + 4)};
}
PACKET_TARGET inline void v_store(double* a, V v) {
  _mm256_store_pd(a, v.low);
  _mm256_store_pd(a + 4, v.high);
}
PACKET_TARGET inline V v_add(V a, V b) {
  return {_mm256_add_pd(a.low, b.low), _mm256_add_pd(a.high, b.high)};
}
PACKET_TARGET inline V v_sub(V a, V b) {
  return {_mm256_sub_pd(a.low, b.low), _mm256_sub_pd(a.high, b.high)};
}
PACKET_TARGET inline V v_mul(V a, V b) {
  return {_mm256_mul_pd(a.low, b.low), _mm256_mul_pd(a.high, b.high)};
}
PACKET_TARGET inline V v_div(V a, V b) {
  return {_mm256_div_pd(a.low, b.low), _mm256_div_pd(a.high, b.high)};
}
PACKET_TARGET inline V v_sqrt(V a) { return {_mm256_sqrt_pd(a.low), _mm256_sqrt_pd(a.high)}; }
PACKET_TARGET inline V v_round_f32(V v) {
  return {_mm256_cvtps_pd(_mm256_cvtpd_ps(v.low)), _mm256_cvtps_pd(_mm256_cvtpd_ps(v.high))};
}
template <int predicate>
PACKET_TARGET inline Mask v_compare(V a, V b, Mask within) {
  const int low = _mm256_movemask_pd(_mm256_cmp_pd(a.low, b.low, predicate));
  const int high = _mm256_movemask_pd(_mm256_cmp_pd(a.high, b.high, predicate));
  return static_cast<Mask>((low | high << 4) & within);
}
PACKET_TARGET inline Mask v_gt(V a, V b, Mask within) {
  return v_compare<_CMP_GT_OQ>(a, b, within);
}
PACKET_TARGET inline Mask v_lt(V a, V b, Mask within) {
  return v_compare<_CMP_LT_OQ>(a, b, within);
}
PACKET_TARGET inline Mask v_ne(V a, V b, Mask within) {
  return v_compare<_CMP_NEQ_UQ>(a, b, within);
}
// Four lanes' bits as a blend mask: lane k's bit tested against 1 << k.
PACKET_TARGET inline __m256d blend_mask(int bits) {
  const __m256i lane_bits = _mm256_setr_epi64x(1, 2, 4, 8);
  return _mm256_castsi256_pd(_mm256_cmpeq_epi64(
      _mm256_and_si256(_mm256_set1_epi64x(bits), lane_bits), lane_bits));
}
PACKET_TARGET inline V v_select(V kept, Mask m, V taken) {
  return {_mm256_blendv_pd(kept.low, taken.low, blend_mask(m & 0xF)),
          _mm256_blendv_pd(kept.high, taken.high, blend_mask(m >> 4))};
}

#include "packet_walk_loop.inc"

#undef PACKET_TARGET

}  // namespace
}  // namespace packet_256

#endif  // TALLOW_PACKET_WALKS

namespace {

PacketLanes widest_lanes_of_cpu() {
#if defined(TALLOW_PACKET_WALKS)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
    return PacketLanes::avx512;
  }
  if (__builtin_cpu_supports("avx2")) {
    return PacketLanes::avx2;
  }
#endif
  return PacketLanes::none;
}

}  // namespace

PacketLanes widest_packet_lanes() {
  static const PacketLanes widest = widest_lanes_of_cpu();
  return widest;
}

bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized,
                         PacketLanes kind) {
  if (kind > widest_packet_lanes()) {
    fatal("packet walks asked for lanes this CPU does not have");
  }
  if (begin < end) {
    require_index(order.size(), end - 1);
  }
  switch (kind) {
#if defined(TALLOW_PACKET_WALKS)
    case PacketLanes::avx512:
      packet_512::walk_packets(nodes, tree, order, begin, end, coefficient, theta2, sized);
      return true;
    case PacketLanes::avx2:
      packet_256::walk_packets(nodes, tree, order, begin, end, coefficient, theta2, sized);
      return true;
#endif
    default:
      return false;
  }
}

bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized) {
  return bh_run_packet_walks(nodes, tree, order, begin, end, coefficient, theta2, sized,
                             widest_packet_lanes());
}

}  // namespace tallow
