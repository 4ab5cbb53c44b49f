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
#include "packet_walks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "checked.hpp"
#include "opening_test.hpp"
#include "walk_rules.hpp"

#if defined(__GNUC__) && defined(__x86_64__)
#define TALLOW_PACKET_WALKS 1
#include <immintrin.h>
#define TALLOW_AVX512 __attribute__((target("avx512f,avx512dq")))
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

#if defined(TALLOW_PACKET_WALKS)

// The f32 rounding of every lane, kept as f64 (the zero-masked forms: the
// plain ones start from an undefined register that GCC warns about).
TALLOW_AVX512 inline __m512d round_to_f32(__m512d v) {
  return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, v));
}

struct Packet {
  const std::uint32_t* indices = nullptr;
  std::size_t count = 0;  // lanes holding a node
  __m512d x{}, y{}, scaled_mass{}, own_leaf{}, dx{}, dy{};
  __m512d own_size{}, scaled_overlap{};  // for walks with sizes
  __mmask8 walking = 0;  // lanes with a walk to do (not NaN, not departed)
  Departure departures[lanes]{};
  std::size_t departed = 0;

  void depart(__mmask8 leaving, std::size_t record) {
    for (std::size_t l = 0; l < lanes; ++l) {
      if ((leaving >> l) & 1u) {
        departures[departed++] = {static_cast<std::uint8_t>(l), static_cast<std::uint32_t>(record)};
      }
    }
    walking = static_cast<__mmask8>(walking & ~leaving);
  }
};

// Loads the lanes' nodes. A node with a NaN coordinate gets no force, as in
// its own walk, and takes no lane.
TALLOW_AVX512 void load_packet(Packet& p, std::span<float> nodes, double coefficient) {
  alignas(64) double x[lanes] = {}, y[lanes] = {}, scaled[lanes] = {}, own[lanes] = {};
  alignas(64) double dx[lanes] = {}, dy[lanes] = {}, size[lanes] = {}, overlap[lanes] = {};
  for (std::size_t l = 0; l < p.count; ++l) {
    const std::uint32_t index = p.indices[l];
    require_index(nodes.size(), std::size_t{index} * node_stride + slot::size);
    const float* n = nodes.data() + std::size_t{index} * node_stride;
    if (std::isnan(n[slot::x]) || std::isnan(n[slot::y])) {
      continue;
    }
    x[l] = n[slot::x];
    y[l] = n[slot::y];
    const double mass = n[slot::mass];
    scaled[l] = coefficient * mass;
    overlap[l] = coefficient * 100 * mass;
    size[l] = n[slot::size];
    own[l] = -(static_cast<double>(index) + 1.0);
    dx[l] = n[slot::dx];
    dy[l] = n[slot::dy];
    p.walking = static_cast<__mmask8>(p.walking | (1u << l));
  }
  p.x = _mm512_load_pd(x);
  p.y = _mm512_load_pd(y);
  p.scaled_mass = _mm512_load_pd(scaled);
  p.own_leaf = _mm512_load_pd(own);
  p.dx = _mm512_load_pd(dx);
  p.dy = _mm512_load_pd(dy);
  p.own_size = _mm512_load_pd(size);
  p.scaled_overlap = _mm512_load_pd(overlap);
}

// Stores the forces of the lanes that walked, then lets the departed lanes
// finish alone from where they left.
TALLOW_AVX512 void finish_packet(Packet& p, __mmask8 walked, std::span<float> nodes,
                                 const WalkTree& tree, double coefficient, double theta2,
                                 bool sized) {
  alignas(64) double dx[lanes], dy[lanes];
  _mm512_store_pd(dx, p.dx);
  _mm512_store_pd(dy, p.dy);
  for (std::size_t l = 0; l < p.count; ++l) {
    if ((walked >> l) & 1u) {
      float* n = nodes.data() + std::size_t{p.indices[l]} * node_stride;
      n[slot::dx] = static_cast<float>(dx[l]);  // exact: each is an f32 value
      n[slot::dy] = static_cast<float>(dy[l]);
    }
  }
  for (std::size_t k = 0; k < p.departed; ++k) {
    const std::uint32_t index = p.indices[p.departures[k].lane];
    bh_node_repulsion_from(
        std::span<float, node_stride>(nodes.data() + std::size_t{index} * node_stride, node_stride),
        index, tree, coefficient, theta2, p.departures[k].record, sized);
  }
}

// The regions some active lanes open with an infinite ratio (d2 = 0 at a
// finite opening) are opened as any other unless the lane's own walk would
// jump: a NaN ratio, or records at the lane's point to skip. Those lanes
// depart. Returns the lanes that stay and open the region.
TALLOW_AVX512 __mmask8 open_or_depart(Packet& p, __mmask8 odd, const WalkTree& tree,
                                      std::size_t r) {
  alignas(64) double x[lanes], y[lanes];
  _mm512_store_pd(x, p.x);
  _mm512_store_pd(y, p.y);
  __mmask8 opens = 0;
  __mmask8 leaving = 0;
  for (std::size_t l = 0; l < lanes; ++l) {
    if (((odd >> l) & 1u) == 0) {
      continue;
    }
    if (past_opened_region(tree, r, x[l], y[l]) == r + 1) {
      opens = static_cast<__mmask8>(opens | (1u << l));
    } else {
      leaving = static_cast<__mmask8>(leaving | (1u << l));
    }
  }
  p.depart(leaving, r);
  return opens;
}

template <bool sized>
TALLOW_AVX512 void walk_packet(Packet& p, const WalkTree& tree, double theta2,
                               std::vector<Frame>& frames) {
  const WalkRecord* const records = tree.records.data();
  const std::uint32_t* const skip = tree.skip.data();
  const double* const reach = tree.reach.data();
  const std::size_t count = walkable_records(tree, sized);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d theta2s = _mm512_set1_pd(theta2);
  const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
  const __m512d below = _mm512_set1_pd(OpeningTest(theta2).below());
  const __m512d far = _mm512_set1_pd(OpeningTest::far);
  frames.clear();
  __mmask8 active = p.walking;
  std::size_t r = 0;
  for (;;) {
    while (!frames.empty() && frames.back().end == r) {
      active = static_cast<__mmask8>(frames.back().waiting & p.walking);
      frames.pop_back();
    }
    if (active == 0) {
      if (frames.empty()) {
        return;
      }
      r = frames.back().end;
      continue;
    }
    if (r >= count) {  // skips never point backwards: every walk ends here
      return;
    }
    const WalkRecord& record = records[r];
    const __m512d dX = _mm512_sub_pd(p.x, _mm512_set1_pd(record.x));
    const __m512d dY = _mm512_sub_pd(p.y, _mm512_set1_pd(record.y));
    const __m512d d2 = _mm512_add_pd(_mm512_mul_pd(dX, dX), _mm512_mul_pd(dY, dY));
    const __m512d opening = _mm512_set1_pd(record.opening);
    const __mmask8 apart = _mm512_mask_cmp_pd_mask(active, d2, zero, _CMP_GT_OQ);
    const bool leaf = record.opening < 0;
    __mmask8 adds;
    __mmask8 opens = 0;
    __m512d f = zero;
    if (leaf) {
      adds = _mm512_mask_cmp_pd_mask(apart, opening, p.own_leaf, _CMP_NEQ_UQ);
      if constexpr (sized) {
        // The distance less both sizes: apart, the usual force over d * d;
        // overlapping, the overlap force; just touching, none.
        const __m512d d = _mm512_sub_pd(_mm512_sub_pd(_mm512_maskz_sqrt_pd(0xFF, d2), p.own_size),
                                        _mm512_set1_pd(reach[r]));
        const __mmask8 overlaps = _mm512_mask_cmp_pd_mask(adds, d, zero, _CMP_LT_OQ);
        adds = static_cast<__mmask8>(overlaps | _mm512_mask_cmp_pd_mask(adds, d, zero, _CMP_GT_OQ));
        const __m512d mass = _mm512_set1_pd(record.mass);
        f = _mm512_mask_mov_pd(
            _mm512_div_pd(_mm512_div_pd(_mm512_mul_pd(p.scaled_mass, mass), d), d), overlaps,
            _mm512_mul_pd(p.scaled_overlap, mass));
      }
    } else {
      // The opening test by products where they decide (see OpeningTest),
      // by the division for the rest.
      __mmask8 stands = _mm512_mask_cmp_pd_mask(active, opening, _mm512_mul_pd(d2, below), _CMP_LT_OQ);
      opens = static_cast<__mmask8>(
          _mm512_mask_cmp_pd_mask(active, opening, _mm512_mul_pd(d2, theta2s), _CMP_GT_OQ) &
          _mm512_mask_cmp_pd_mask(active, opening, _mm512_mul_pd(d2, far), _CMP_LT_OQ));
      __mmask8 finite = static_cast<__mmask8>(stands | opens);
      const __mmask8 undecided = static_cast<__mmask8>(active & ~finite);
      if (undecided != 0) [[unlikely]] {
        const __m512d ratio = _mm512_div_pd(opening, d2);
        stands = static_cast<__mmask8>(stands | _mm512_mask_cmp_pd_mask(undecided, ratio, theta2s, _CMP_LT_OQ));
        finite = static_cast<__mmask8>(finite | _mm512_mask_cmp_pd_mask(undecided, ratio, infinity, _CMP_LT_OQ));
        opens = static_cast<__mmask8>(finite & ~stands);
      }
      if constexpr (sized) {
        // A region stands only where no disc below it can reach the node's.
        const __m512d limit = _mm512_add_pd(p.own_size, _mm512_set1_pd(reach[r]));
        const __mmask8 clear =
            _mm512_mask_cmp_pd_mask(stands, d2, _mm512_mul_pd(limit, limit), _CMP_GT_OQ);
        opens = static_cast<__mmask8>(opens | (stands & ~clear));
        stands = clear;
      }
      adds = static_cast<__mmask8>(stands & apart);
      const __mmask8 odd = static_cast<__mmask8>(active & ~finite);
      if (odd != 0) [[unlikely]] {
        opens = static_cast<__mmask8>(opens | open_or_depart(p, odd, tree, r));
        active = static_cast<__mmask8>(active & p.walking);
      }
    }
    if (adds != 0) {
      if (!sized || !leaf) {
        f = _mm512_div_pd(_mm512_mul_pd(_mm512_set1_pd(record.mass), p.scaled_mass), d2);
      }
      p.dx = _mm512_mask_mov_pd(p.dx, adds, round_to_f32(_mm512_add_pd(p.dx, _mm512_mul_pd(dX, f))));
      p.dy = _mm512_mask_mov_pd(p.dy, adds, round_to_f32(_mm512_add_pd(p.dy, _mm512_mul_pd(dY, f))));
    }
    if (leaf) {
      ++r;
    } else if (opens == 0) {
      r = skip[r];
    } else if (opens == active) {
      ++r;
    } else {
      frames.push_back({skip[r], active});
      active = opens;
      ++r;
    }
  }
}

#endif  // TALLOW_PACKET_WALKS

}  // namespace

bool packet_walks_supported() {
#if defined(TALLOW_PACKET_WALKS)
  static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  return supported;
#else
  return false;
#endif
}

bool bh_run_packet_walks(std::span<float> nodes, const WalkTree& tree,
                         std::span<const std::uint32_t> order, std::size_t begin,
                         std::size_t end, double coefficient, double theta2, bool sized) {
#if defined(TALLOW_PACKET_WALKS)
  if (!packet_walks_supported()) {
    return false;
  }
  if (begin < end) {
    require_index(order.size(), end - 1);
  }
  std::vector<Frame> frames;
  frames.reserve(64);
  for (std::size_t k = begin; k < end; k += lanes) {
    Packet p;
    p.indices = order.data() + k;
    p.count = std::min(lanes, end - k);
    load_packet(p, nodes, coefficient);
    // The next packet's nodes lie scattered over the node matrix: fetch
    // them while this packet walks.
    for (std::size_t l = k + lanes; l < std::min(k + 2 * lanes, end); ++l) {
      const float* next = nodes.data() + std::size_t{order[l]} * node_stride;
      __builtin_prefetch(next, 1);
      __builtin_prefetch(next + node_stride - 1, 1);
    }
    const __mmask8 walked = p.walking;
    if (sized) {
      walk_packet<true>(p, tree, theta2, frames);
    } else {
      walk_packet<false>(p, tree, theta2, frames);
    }
    finish_packet(p, walked, nodes, tree, coefficient, theta2, sized);
  }
  return true;
#else
  (void)nodes, (void)tree, (void)order, (void)begin, (void)end, (void)coefficient, (void)theta2,
      (void)sized;
  return false;
#endif
}

}  // namespace tallow
