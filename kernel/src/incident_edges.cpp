#include "incident_edges.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "attraction_force.hpp"
#include "checked.hpp"
#include "fatal.hpp"
#include "huge_pages.hpp"

#if defined(__GNUC__) && defined(__x86_64__)
#define TALLOW_LISTED_LANES 1
#include <immintrin.h>
#endif

namespace tallow {
namespace {

// The lists are made by two threads where there are two, each taking one
// half of the edges: the second half's slots follow the first's.
constexpr std::size_t edge_halves = 2;

struct HalfCounts {
  std::span<const EdgeRecord> half[edge_halves];
  std::vector<std::uint32_t> ends[edge_halves];  // per node: its ends in each half
  bool end_outside[edge_halves] = {};            // an end outside the nodes: counting stopped there
  bool weights_differ[edge_halves] = {};         // from the first edge's, bit for bit
};

// Counts each half's ends per node, checking every end before it is counted
// and whether all weights are the first edge's.
HalfCounts count_ends(std::span<const EdgeRecord> edges, std::size_t node_count,
                      const ForEachRange& for_each) {
  HalfCounts counts;
  counts.half[0] = edges.first(edges.size() / 2);
  counts.half[1] = edges.subspan(edges.size() / 2);
  for_each(edge_halves, [&](std::size_t begin, std::size_t end) {
    for (std::size_t h = begin; h < end; ++h) {
      std::vector<std::uint32_t>& ends = counts.ends[h];
      ends.assign(node_count, 0);
      const std::span<const EdgeRecord> half = counts.half[h];
      constexpr std::size_t counters_ahead = 32;  // the counters lie all over
      for (std::size_t e = 0; e < half.size(); ++e) {
        const EdgeRecord& edge = half[e];
        if (edge.source >= node_count || edge.target >= node_count) {
          counts.end_outside[h] = true;
          break;
        }
        if (e + counters_ahead < half.size()) {
          __builtin_prefetch(ends.data() + half[e + counters_ahead].source, 1);
          __builtin_prefetch(ends.data() + half[e + counters_ahead].target, 1);
        }
        counts.weights_differ[h] |=
            std::memcmp(&edge.weight, &edges.front().weight, sizeof edge.weight) != 0;
        ++ends[edge.source];
        ++ends[edge.target];
      }
    }
  });
  return counts;
}

// Nodes in blocks of consecutive indices, by degree within each block (ties
// by index): eight neighbours in this order have about as many edges, so a
// group's lanes keep busy to its last step, and a block's records lie close
// together in memory. Counted into place, but for the few nodes of high
// degree, which are sorted. Blocks are ordered apart, possibly at once.
void order_block(IncidentEdges& lists, const std::vector<std::uint32_t>& degree_of,
                 std::size_t low) {
  constexpr std::uint32_t counted_degrees = 256;
  const std::size_t end = std::min(degree_of.size(), low + nodes_per_block);
  std::uint32_t next_place[counted_degrees + 1] = {};
  for (std::size_t v = low; v < end; ++v) {
    ++next_place[std::min(degree_of[v], counted_degrees)];
  }
  auto at = static_cast<std::uint32_t>(low);
  for (std::uint32_t& p : next_place) {
    at += std::exchange(p, at);
  }
  std::vector<std::uint64_t> high;
  for (std::size_t v = low; v < end; ++v) {
    if (degree_of[v] >= counted_degrees) {
      high.push_back(std::uint64_t{degree_of[v]} << 32 | v);
    } else {
      lists.order[next_place[degree_of[v]]++] = static_cast<std::uint32_t>(v);
    }
  }
  std::sort(high.begin(), high.end());
  for (const std::uint64_t key : high) {
    lists.order[next_place[counted_degrees]++] = static_cast<std::uint32_t>(key);
  }
  for (std::size_t i = low; i < end; ++i) {
    lists.degree[i] = degree_of[lists.order[i]];
    lists.place[lists.order[i]] = static_cast<std::uint32_t>(i);
  }
}

// The second half's counts become each node's degree, block by block.
void order_by_degree(IncidentEdges& lists, HalfCounts& counts, const ForEachRange& for_each) {
  std::vector<std::uint32_t>& degree = counts.ends[1];
  const std::size_t node_count = degree.size();
  lists.order.resize(node_count);
  lists.place.resize(node_count);
  lists.degree.resize(node_count);
  const std::size_t blocks = (node_count + nodes_per_block - 1) / nodes_per_block;
  for_each(blocks, [&](std::size_t begin, std::size_t end) {
    for (std::size_t b = begin; b < end; ++b) {
      const std::size_t low = b * nodes_per_block;
      for (std::size_t v = low; v < std::min(node_count, low + nodes_per_block); ++v) {
        degree[v] += counts.ends[0][v];
      }
      order_block(lists, degree, low);
    }
  });
}

// Each group takes as many steps as its busiest lane; false when all steps
// together pass max_incident_slots.
bool place_groups(IncidentEdges& lists) {
  const std::size_t groups = (lists.order.size() + group_lanes - 1) / group_lanes;
  lists.group_start.assign(groups + 1, 0);
  std::uint64_t slots = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t last = std::min(lists.order.size(), (g + 1) * group_lanes);
    std::uint32_t steps = 0;
    for (std::size_t i = g * group_lanes; i < last; ++i) {
      steps = std::max(steps, lists.degree[i]);
    }
    slots += std::uint64_t{steps} * group_lanes;
    if (slots > max_incident_slots) {
      return false;
    }
    lists.group_start[g + 1] = static_cast<std::uint32_t>(slots);
  }
  return true;
}

// The slots of groups [first, end) past each lane's degree (every slot of a
// lane past the last node) name place 0 and weigh 0.
void zero_idle_slots(IncidentEdges& lists, std::size_t first, std::size_t end, bool weighted) {
  const std::size_t node_count = lists.order.size();
  for (std::size_t g = first; g < end; ++g) {
    for (std::size_t lane = 0; lane < group_lanes; ++lane) {
      const std::size_t i = g * group_lanes + lane;
      const std::uint32_t edges = i < node_count ? lists.degree[i] : 0;
      for (std::uint32_t slot = lists.group_start[g] + static_cast<std::uint32_t>(lane) +
                                edges * static_cast<std::uint32_t>(group_lanes);
           slot < lists.group_start[g + 1]; slot += group_lanes) {
        lists.ends[slot] = 0;
        if (weighted) {
          lists.weights[slot] = 0.0f;
        }
      }
    }
  }
}

// Every edge at both ends, in edge order: a node's j-th edge goes to step j
// of its lane, naming the other end by its place. Idle lanes' slots name
// place 0, which they never use. Each half of the edges fills its own
// slots, the second half's after the first's.
void fill_slots(IncidentEdges& lists, const HalfCounts& counts, bool weighted,
                const ForEachRange& for_each) {
  const std::size_t node_count = lists.order.size();
  const std::size_t blocks = (node_count + nodes_per_block - 1) / nodes_per_block;
  // Per half and node: its next slot.
  std::vector<std::uint32_t, UnwrittenPageAllocator<std::uint32_t>> next_slot[edge_halves];
  next_slot[0].resize(node_count);
  next_slot[1].resize(node_count);
  const std::size_t slots = lists.group_start.back();
  lists.ends.clear();  // nothing to copy if it grows
  reserve_in_huge_pages(lists.ends, slots);
  lists.ends.resize(slots);
  lists.weights.clear();
  reserve_in_huge_pages(lists.weights, weighted ? slots : 0);
  lists.weights.resize(weighted ? slots : 0);
  // A block's places hold the block's own nodes, so blocks set their nodes'
  // first slots apart, every element written once. Its groups' idle slots
  // (past a lane's degree) are zeroed there; the edges fill all the others.
  for_each(blocks, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin * nodes_per_block; i < std::min(node_count, end * nodes_per_block);
         ++i) {
      const std::uint32_t v = lists.order[i];
      next_slot[0][v] =
          lists.group_start[i / group_lanes] + static_cast<std::uint32_t>(i % group_lanes);
      next_slot[1][v] =
          next_slot[0][v] + counts.ends[0][v] * static_cast<std::uint32_t>(group_lanes);
    }
    zero_idle_slots(lists, begin * groups_per_block,
                    std::min(lists.groups(), end * groups_per_block), weighted);
  });
  for_each(edge_halves, [&](std::size_t begin, std::size_t end) {
    for (std::size_t h = begin; h < end; ++h) {
      auto& next = next_slot[h];
      const std::span<const EdgeRecord> half = counts.half[h];
      // The writes land all over the slots: the places they need are fetched
      // ahead, the next-slot counters and places further ahead than the slots
      // the counters name.
      constexpr std::size_t slots_ahead = 8;
      constexpr std::size_t counters_ahead = 32;
      for (std::size_t e = 0; e < half.size(); ++e) {
        if (e + counters_ahead < half.size()) {
          const EdgeRecord& ahead = half[e + counters_ahead];
          __builtin_prefetch(&next[ahead.source], 1);
          __builtin_prefetch(&next[ahead.target], 1);
          __builtin_prefetch(&lists.place[ahead.source]);
          __builtin_prefetch(&lists.place[ahead.target]);
        }
        if (e + slots_ahead < half.size()) {
          __builtin_prefetch(lists.ends.data() + next[half[e + slots_ahead].source], 1);
          __builtin_prefetch(lists.ends.data() + next[half[e + slots_ahead].target], 1);
        }
        const EdgeRecord& edge = half[e];
        const std::uint32_t at_source = next[edge.source];
        next[edge.source] += group_lanes;
        const std::uint32_t at_target = next[edge.target];
        next[edge.target] += group_lanes;
        lists.ends[at_source] = lists.place[edge.target];
        lists.ends[at_target] = lists.place[edge.source] | as_target;
        if (weighted) {
          lists.weights[at_source] = edge.weight;
          lists.weights[at_target] = edge.weight;
        }
      }
    }
  });
}

bool make_lists(IncidentEdges& lists, std::span<const EdgeRecord> edges, std::size_t node_count,
                const ForEachRange& for_each) {
  static_assert(max_listed_nodes < as_target);
  if (node_count > max_listed_nodes || edges.size() > max_incident_slots / 2) {
    return false;
  }
  HalfCounts counts = count_ends(edges, node_count, for_each);
  if (counts.end_outside[0] || counts.end_outside[1]) {
    return false;
  }
  order_by_degree(lists, counts, for_each);
  if (!place_groups(lists)) {
    return false;
  }
  lists.weight = edges.empty() ? 0.0f : edges.front().weight;
  fill_slots(lists, counts, counts.weights_differ[0] || counts.weights_differ[1], for_each);
  return true;
}

#if defined(TALLOW_LISTED_LANES)

#define LANES_TARGET __attribute__((target("avx512f,avx512dq,avx512vl")))

LANES_TARGET inline __m512d powered(__m512d w,
                                    std::integral_constant<WeightPower, WeightPower::zero>) {
  (void)w;
  return _mm512_set1_pd(1.0);
}
LANES_TARGET inline __m512d powered(__m512d w,
                                    std::integral_constant<WeightPower, WeightPower::one>) {
  return w;
}
LANES_TARGET inline __m512d powered(__m512d w,
                                    std::integral_constant<WeightPower, WeightPower::square>) {
  return _mm512_mul_pd(w, w);
}

// The f32 halves of eight 64-bit lanes, widened: the low ones (x, dx) or the
// high ones (y, dy).
LANES_TARGET inline __m512d low_floats(__m512i pairs) {
  return _mm512_maskz_cvtps_pd(0xFF, _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xFF, pairs)));
}
LANES_TARGET inline __m512d high_floats(__m512i pairs) {
  return low_floats(_mm512_maskz_srli_epi64(0xFF, pairs, 32));
}

// force + dx at a source, dx - force at a target, rounded to f32.
LANES_TARGET inline __m512d pulled(__m512d d, __m512d force, __mmask8 target) {
  const __m512d sum = _mm512_mask_mov_pd(_mm512_add_pd(force, d), target, _mm512_sub_pd(d, force));
  return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, sum));
}

// One group of up to eight nodes of about the same degree, one a lane, all
// taking their j-th listed edge at step j, so that the eight f32 rounding
// chains run side by side and no branch depends on the data. Per lane the
// operations are those of the edge-order phase: d = the source's position
// minus the target's, f = -w, force d * f, then force + dx at the source or
// dx - force at the target, rounded to f32.
template <WeightPower power, bool weighted>
LANES_TARGET void attract_group(const IncidentEdges& lists, ListedValues& values, std::size_t g) {
  const std::size_t base = g * group_lanes;
  const auto count = static_cast<unsigned>(std::min(group_lanes, lists.order.size() - base));
  const auto lanes = static_cast<__mmask8>((1u << count) - 1);
  const __m256i degree = _mm256_maskz_loadu_epi32(lanes, lists.degree.data() + base);
  // The group's own values lie side by side; idle lanes read zeros and store
  // nothing. Each other end is one plain 64-bit load of its (x, y): eight of
  // them cost less than a gather here.
  const auto* pairs = reinterpret_cast<const long long*>(values.positions.data());
  const __m512i own = _mm512_maskz_loadu_epi64(lanes, pairs + base);
  const __m512d own_x = low_floats(own);
  const __m512d own_y = high_floats(own);
  __m512d dx = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(lanes, values.dx.data() + base));
  __m512d dy = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(lanes, values.dy.data() + base));
  const __m512d sign = _mm512_set1_pd(-0.0);
  const __m512d same_weight = _mm512_set1_pd(static_cast<double>(lists.weight));
  const std::uint32_t first_slot = lists.group_start[g];
  const auto steps =
      static_cast<std::uint32_t>((lists.group_start[g + 1] - first_slot) / group_lanes);
  for (std::uint32_t j = 0; j < steps; ++j) {
    const std::size_t slot_of_step = first_slot + std::size_t{j} * group_lanes;
    const __mmask8 active =
        _mm256_mask_cmpgt_epu32_mask(lanes, degree, _mm256_set1_epi32(static_cast<int>(j)));
    const __m256i end_and_role =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lists.ends.data() + slot_of_step));
    const __mmask8 target = _mm256_movepi32_mask(end_and_role);
    alignas(32) std::uint32_t ends[group_lanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(ends),
                       _mm256_and_si256(end_and_role, _mm256_set1_epi32(0x7FFFFFFF)));
    const __m512i at =
        _mm512_set_epi64(pairs[ends[7]], pairs[ends[6]], pairs[ends[5]], pairs[ends[4]],
                         pairs[ends[3]], pairs[ends[2]], pairs[ends[1]], pairs[ends[0]]);
    const __m512d other_x = low_floats(at);
    const __m512d other_y = high_floats(at);
    const __m512d d_x = _mm512_sub_pd(_mm512_mask_mov_pd(own_x, target, other_x),
                                      _mm512_mask_mov_pd(other_x, target, own_x));
    const __m512d d_y = _mm512_sub_pd(_mm512_mask_mov_pd(own_y, target, other_y),
                                      _mm512_mask_mov_pd(other_y, target, own_y));
    __m512d weight = same_weight;
    if constexpr (weighted) {
      weight = _mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(lists.weights.data() + slot_of_step));
    }
    const __m512d f =
        _mm512_xor_pd(powered(weight, std::integral_constant<WeightPower, power>{}), sign);
    dx = _mm512_mask_mov_pd(dx, active, pulled(dx, _mm512_mul_pd(d_x, f), target));
    dy = _mm512_mask_mov_pd(dy, active, pulled(dy, _mm512_mul_pd(d_y, f), target));
  }
  _mm256_mask_storeu_ps(values.dx.data() + base, lanes, _mm512_maskz_cvtpd_ps(0xFF, dx));
  _mm256_mask_storeu_ps(values.dy.data() + base, lanes, _mm512_maskz_cvtpd_ps(0xFF, dy));
}

#undef LANES_TARGET

#endif  // TALLOW_LISTED_LANES

bool cpu_has_lanes() {
#if defined(TALLOW_LISTED_LANES)
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                          __builtin_cpu_supports("avx512vl");
  return has;
#else
  return false;
#endif
}

}  // namespace

bool list_incident_edges(IncidentEdges& lists, std::span<const EdgeRecord> edges,
                         std::size_t node_count, const ForEachRange& for_each) {
  if (lists.made && lists.made_from == edges.data() && lists.edge_count == edges.size() &&
      lists.node_count == node_count) {
    return lists.usable;
  }
  lists.made = false;  // until the lists are whole
  const bool usable = make_lists(lists, edges, node_count, for_each);
  if (!usable) {
    const std::size_t min_nodes = lists.min_nodes;
    lists = IncidentEdges{};
    lists.min_nodes = min_nodes;
  }
  lists.made_from = edges.data();
  lists.edge_count = edges.size();
  lists.node_count = node_count;
  lists.usable = usable;
  lists.made = true;
  return usable;
}

bool listed_attraction_fits(const LayoutSettings& settings) {
  const double power = settings.edgeWeightInfluence;
  return cpu_has_lanes() && !settings.linLogMode && !settings.adjustSizes &&
         !settings.outboundAttractionDistribution && (power == 0.0 || power == 1.0 || power == 2.0);
}

void ListedValues::resize(std::size_t node_count) {
  positions.resize(2 * node_count);
  dx.resize(node_count);
  dy.resize(node_count);
}

namespace {

// The step's values, one per place, checked once for a whole pass.
void require_values(const IncidentEdges& lists, const ListedValues& values) {
  require_index(values.dx.size(), lists.node_count - 1);
  require_index(values.dy.size(), lists.node_count - 1);
  require_index(values.positions.size(), 2 * lists.node_count - 1);
}

// The node range's records and places, and the step's values, checked once
// for a whole pass. Every place was checked against the node count when the
// lists were made.
void require_range(const IncidentEdges& lists, std::span<const float> nodes,
                   const ListedValues& values, std::size_t end) {
  require_index(lists.place.size(), end - 1);
  require_index(nodes.size(), end * node_stride - 1);
  require_values(lists, values);
}

}  // namespace

void gather_listed_positions(const IncidentEdges& lists, std::span<const float> nodes,
                             ListedValues& values, std::size_t first, std::size_t end) {
  if (first >= end) {
    return;
  }
  require_range(lists, nodes, values, end);
  for (std::size_t i = first; i < end; ++i) {
    const std::size_t p = lists.place[i];
    values.positions[2 * p] = nodes[i * node_stride + slot::x];
    values.positions[2 * p + 1] = nodes[i * node_stride + slot::y];
  }
}

void gather_listed_forces(const IncidentEdges& lists, std::span<const float> nodes,
                          ListedValues& values, std::size_t first, std::size_t end) {
  if (first >= end) {
    return;
  }
  require_range(lists, nodes, values, end);
  for (std::size_t i = first; i < end; ++i) {
    values.dx[lists.place[i]] = nodes[i * node_stride + slot::dx];
    values.dy[lists.place[i]] = nodes[i * node_stride + slot::dy];
  }
}

void scatter_listed_forces(const IncidentEdges& lists, const ListedValues& values,
                           std::span<float> nodes, std::size_t first, std::size_t end) {
  if (first >= end) {
    return;
  }
  require_range(lists, nodes, values, end);
  for (std::size_t i = first; i < end; ++i) {
    float* record = nodes.data() + i * node_stride;
    record[slot::dx] = values.dx[lists.place[i]];
    record[slot::dy] = values.dy[lists.place[i]];
  }
}

void attraction_listed(const LayoutSettings& settings, const IncidentEdges& lists,
                       ListedValues& values, std::size_t first, std::size_t end) {
  if (!lists.usable || !listed_attraction_fits(settings)) {
    fatal("attraction from edge lists asked for settings or lists it cannot take");
  }
  if (first >= end) {
    return;
  }
  require_values(lists, values);
#if defined(TALLOW_LISTED_LANES)
  require_index(lists.group_start.size(), end);
  with_weight_power(settings.edgeWeightInfluence, [&]<WeightPower power>() {
    if constexpr (power != WeightPower::general) {
      for (std::size_t g = first; g < end; ++g) {
        if (lists.weights.empty()) {
          attract_group<power, false>(lists, values, g);
        } else {
          attract_group<power, true>(lists, values, g);
        }
      }
    }
  });
#endif
}

}  // namespace tallow
