#include "quadtree.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checked.hpp"
#include "fatal.hpp"
#include "matrices.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {
namespace {

// A region's four children are appended together, one stride apart.
constexpr std::size_t children_values = 4 * region_stride;

// A node's insertion may split its way down four levels (the first split and
// three more) before two nodes in the same quadrant stop it.
constexpr int splits_after_first = 3;

struct Box {
  double min_x = std::numeric_limits<double>::infinity();
  double min_y = std::numeric_limits<double>::infinity();
  double max_x = -std::numeric_limits<double>::infinity();
  double max_y = -std::numeric_limits<double>::infinity();
};

// NaN-ignoring bounds of all positions, in node order (all nodes checked by the caller).
Box bounding_box(std::span<const float> nodes, std::size_t count) {
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

// bounding_box() over parts of the nodes at once. The smallest and largest
// of a set do not depend on the order they are taken in, but for the sign of
// a zero, which fmin and fmax pick by argument order: a box with a zero side
// is taken again in node order.
Box bounding_box_in_parts(std::span<const float> nodes, std::size_t count,
                          const quadtree::PartRunner& for_each_part) {
#if defined(__SSE2__)
  constexpr std::size_t parts = 16;
  std::array<Box, parts> boxes;
  for_each_part(parts, [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      // minpd and maxpd keep their second operand when the first is NaN.
      __m128d low = _mm_set1_pd(std::numeric_limits<double>::infinity());
      __m128d high = _mm_set1_pd(-std::numeric_limits<double>::infinity());
      const float* node = nodes.data() + count * part / parts * node_stride;
      for (std::size_t i = count * part / parts; i < count * (part + 1) / parts; ++i) {
        const __m128d xy = _mm_cvtps_pd(
            _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(node + slot::x))));
        low = _mm_min_pd(xy, low);
        high = _mm_max_pd(xy, high);
        node += node_stride;
      }
      Box& b = boxes[part];
      b.min_x = _mm_cvtsd_f64(low);
      b.min_y = _mm_cvtsd_f64(_mm_unpackhi_pd(low, low));
      b.max_x = _mm_cvtsd_f64(high);
      b.max_y = _mm_cvtsd_f64(_mm_unpackhi_pd(high, high));
    }
  });
  Box box;
  for (const Box& b : boxes) {
    box.min_x = std::fmin(box.min_x, b.min_x);
    box.max_x = std::fmax(box.max_x, b.max_x);
    box.min_y = std::fmin(box.min_y, b.min_y);
    box.max_y = std::fmax(box.max_y, b.max_y);
  }
  if (box.min_x != 0 && box.max_x != 0 && box.min_y != 0 && box.max_y != 0) {
    return box;
  }
#else
  (void)for_each_part;
#endif
  return bounding_box(nodes, count);
}

// Widens the narrower side about its centre so the box becomes a square. With
// a NaN width (no nodes) the x side is the one rewritten, as for wx <= wy.
void make_square(Box& box) {
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
void append_root(RegionMatrix& regions, const Box& box) {
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
std::size_t quadrant(double x, double y, double center_x, double center_y) {
  return (x < center_x ? 0 : 2) + (y < center_y ? 0 : 1);
}

// Appends the four children of the leaf at `parent` and links them in
// pre-order; returns the offset of the first one.
std::size_t append_children(RegionMatrix& regions, std::size_t parent) {
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
void accumulate(double* r, const Body& n) {
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

// ---- chains ----------------------------------------------------------------
//
// Coincident nodes, and any nodes below a region whose half size has become 0
// or whose centre is NaN, pile up in a chain: each insertion splits four more
// levels, each in the same quadrant, and every later node descends the whole
// chain, adding itself to every level's mass centre. The tree keeps the
// chain; its levels' masses are worked out at the end instead.
//
// A chain hangs below an anchor region whose child in quadrant q has the
// anchor's centre (as the quadrant test sees it: equal, or NaN both): every
// node that reaches that child picks q again there, and again at every level
// below with the same centre. So each node entering the chain passes every
// level that has children and arrives at the chain's bottom. Each level owes
// its mass centre the nodes that entered after its split (or after the chain
// was noted), in order: one shared list of entering nodes and a start per
// level replace the descent; the arithmetic per level is unchanged.

bool same_side(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Whether the child in quadrant q of a region with children has the region's
// centre for the quadrant test; the child centre as append_children forms it.
bool child_keeps_centre(const double* reg, std::size_t q) {
  const double h = reg[region::half_size] * 0.5;
  const double cx = reg[region::center_x];
  const double cy = reg[region::center_y];
  return same_side(q < 2 ? cx - h : cx + h, cx) && same_side(q % 2 == 0 ? cy - h : cy + h, cy);
}

struct ChainLevel {
  std::size_t offset;  // a region with children
  std::size_t start;   // the first entering node it has not yet counted
};

struct Chain {
  std::size_t direction;
  double center_x;
  double center_y;
  std::size_t bottom;  // where an entering node goes on: below the last level
  std::vector<ChainLevel> levels;
  std::vector<std::size_t> entered;  // node offsets, in insertion order
};

struct Chains {
  std::vector<Chain> list;
  std::unordered_map<std::size_t, std::size_t> by_top;  // first level's offset -> chain

  // The node at `offset` enters the chain whose first level is `top`, a
  // region with children that keeps its anchor's centre in quadrant q; notes
  // the chain on first entry. Returns the chain's position in `list`.
  std::size_t enter(const RegionMatrix& regions, std::size_t top, std::size_t q,
                    std::size_t offset) {
    auto [found, added] = by_top.try_emplace(top, list.size());
    if (added) {
      Chain chain{q, regions[top + region::center_x], regions[top + region::center_y], top, {}, {}};
      extend_over_split_levels(regions, chain);
      list.push_back(std::move(chain));
    }
    Chain& chain = list[found->second];
    chain.entered.push_back(offset);
    return found->second;
  }

  // Takes in the levels below the bottom that already have children and the
  // chain's centre; they count the entering nodes from now on.
  static void extend_over_split_levels(const RegionMatrix& regions, Chain& chain) {
    for (;;) {
      require_index(regions.size(), chain.bottom + region::mass_center_y);
      const double* reg = regions.data() + chain.bottom;
      if (!(reg[region::first_child] >= 0) || !keeps_chain_centre(reg, chain)) {
        return;
      }
      chain.levels.push_back({chain.bottom, chain.entered.size()});
      chain.bottom = region_offset(reg[region::first_child]) + chain.direction * region_stride;
    }
  }

  static bool keeps_chain_centre(const double* reg, const Chain& chain) {
    return same_side(reg[region::center_x], chain.center_x) &&
           same_side(reg[region::center_y], chain.center_y);
  }
};

// ---- insertion --------------------------------------------------------------

// Inserts one node, descending from the root. A leaf that already holds a node
// is split, and split again while both nodes keep falling into one quadrant,
// up to the split budget; past it the arriving node stays out of every leaf.
// A node entering a chain goes straight to its bottom (see Chains).
// `splits_left` is the budget the insertion has left on arriving at the
// root (a cell's root, in the parallel build).
template <std::size_t mass_slot = slot::mass>
void insert(RegionMatrix& regions, std::span<const float> nodes, const Body& n, Chains& chains,
            int splits_left = splits_after_first) {
  std::size_t r = 0;
  constexpr std::size_t no_chain = std::numeric_limits<std::size_t>::max();
  std::size_t chain = no_chain;  // the chain whose bottom r is
  for (;;) {
    require_index(regions.size(), r + region::mass_center_y);
    double* reg = regions.data() + r;
    if (reg[region::first_child] >= 0) {
      const std::size_t q = quadrant(n.x, n.y, reg[region::center_x], reg[region::center_y]);
      accumulate(reg, n);
      r = region_offset(reg[region::first_child]) + q * region_stride;
      chain = no_chain;
      if (child_keeps_centre(reg, q)) {
        require_index(regions.size(), r + region::mass_center_y);
        if (regions[r + region::first_child] >= 0) {
          chain = chains.enter(regions, r, q, n.offset);
          r = chains.list[chain].bottom;
        }
      }
      continue;
    }
    if (reg[region::node] < 0) {
      reg[region::node] = static_cast<double>(n.offset);
      return;
    }
    const Body held = read_body<mass_slot>(nodes, region_offset(reg[region::node]));
    const std::size_t first = append_children(regions, r);
    reg = regions.data() + r;  // the append may have moved the array
    const double cx = reg[region::center_x];
    const double cy = reg[region::center_y];
    const std::size_t q_held = first + quadrant(held.x, held.y, cx, cy) * region_stride;
    reg[region::mass] = held.mass;
    reg[region::mass_center_x] = held.x;
    reg[region::mass_center_y] = held.y;
    regions[q_held + region::node] = static_cast<double>(held.offset);
    reg[region::node] = -1.0;
    if (chain != no_chain) {
      // The bottom has just been split: a new level if it keeps the centre,
      // else the chain ends here and later nodes descend from this region.
      Chain& c = chains.list[chain];
      Chains::extend_over_split_levels(regions, c);
      chain = c.bottom == r ? no_chain : chain;
    }
    const std::size_t q_new = first + quadrant(n.x, n.y, cx, cy) * region_stride;
    if (q_new != q_held) {
      regions[q_new + region::node] = static_cast<double>(n.offset);
      return;
    }
    if (splits_left == 0) {
      return;
    }
    --splits_left;
    r = q_held;
    if (chain != no_chain && chains.list[chain].bottom != r) {
      chain = no_chain;
    }
  }
}

// ---- the chains' masses -----------------------------------------------------

struct Entering {
  double x;
  double y;
  double mass;
};

struct MassCentre {
  double mass;
  double x;
  double y;
};

// Mass centres worked out side by side, so that their divisions overlap.
constexpr std::size_t max_lanes = 8;
using Lanes = std::array<MassCentre, max_lanes>;

// accumulate() on a mass centre held apart from the matrix: same operations.
inline void add_to(MassCentre& c, const Entering& e) {
  const double total = c.mass + e.mass;
  c.x = (e.x * e.mass + c.x * c.mass) / total;
  c.y = (e.y * e.mass + c.y * c.mass) / total;
  c.mass = total;
}

// Entering nodes [begin, end) added to `lanes` mass centres at once: the
// centres are independent, so their divisions overlap.
template <std::size_t lanes>
void add_range(Lanes& centres, const std::vector<Entering>& entering,
               std::size_t begin, std::size_t end) {
#if defined(__SSE2__)
  // x and y as the two lanes of one register: each lane performs add_to's
  // operations in add_to's order, and IEEE division rounds the same in
  // either form, so the bits are add_to's with half the divisions.
  __m128d xy[lanes];
  double mass[lanes];
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    xy[lane] = _mm_set_pd(centres[lane].y, centres[lane].x);
    mass[lane] = centres[lane].mass;
  }
  for (std::size_t k = begin; k < end; ++k) {
    const Entering& e = entering[k];
    const __m128d weighted = _mm_mul_pd(_mm_set_pd(e.y, e.x), _mm_set1_pd(e.mass));
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      const double total = mass[lane] + e.mass;
      xy[lane] = _mm_div_pd(_mm_add_pd(weighted, _mm_mul_pd(xy[lane], _mm_set1_pd(mass[lane]))),
                            _mm_set1_pd(total));
      mass[lane] = total;
    }
  }
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    centres[lane] = {mass[lane], _mm_cvtsd_f64(xy[lane]),
                     _mm_cvtsd_f64(_mm_unpackhi_pd(xy[lane], xy[lane]))};
  }
#else
  for (std::size_t k = begin; k < end; ++k) {
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      add_to(centres[lane], entering[k]);
    }
  }
#endif
}

// Up to max_lanes mass centres with ascending starts, each given the
// entering nodes from its start on: lanes 0..L-1 together from start L-1 to
// start L.
template <std::size_t L = max_lanes>
void add_from_starts(Lanes& centres, const std::array<std::size_t, max_lanes>& starts,
                     std::size_t lanes, const std::vector<Entering>& entering) {
  if constexpr (L > 1) {
    add_from_starts<L - 1>(centres, starts, lanes, entering);
  }
  const std::size_t end = entering.size();
  const std::size_t begin = L - 1 < lanes ? starts[L - 1] : end;
  add_range<L>(centres, entering, begin, L < lanes ? starts[L] : end);
}

// Where every entering node from k on has the same x and y bits and a whole
// mass, and the level's mass centre is at that very point with a whole mass,
// the centre stays there and the mass is a plain sum, as long as the total
// stays within 2^28: x*m and c*M are exact (24-bit values times whole numbers
// below 2^29), so is their sum x*(m + M), and so is its division by m + M.
// Infinite and NaN points stay as they are as well.
struct UniformTail {
  std::vector<std::uint8_t> uniform;  // per k: nodes k.. all at k's point, whole masses
  std::vector<double> mass;           // per k: the masses of nodes k.. summed
};

constexpr double max_exact_total = 0x1p28;

bool whole_mass(double m) { return m >= 1.0 && m == std::floor(m); }

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

UniformTail uniform_tail(const std::vector<Entering>& entering) {
  const std::size_t count = entering.size();
  UniformTail tail{std::vector<std::uint8_t>(count + 1, 1), std::vector<double>(count + 1, 0.0)};
  for (std::size_t k = count; k-- > 0;) {
    const Entering& e = entering[k];
    const bool joins = k + 1 == count || (tail.uniform[k + 1] != 0 &&
                                          same_bits(e.x, entering[k + 1].x) &&
                                          same_bits(e.y, entering[k + 1].y));
    tail.uniform[k] = joins && whole_mass(e.mass) ? 1 : 0;
    tail.mass[k] = e.mass + tail.mass[k + 1];
  }
  return tail;
}

// Adds the entering nodes from `start` on to `c` by the shortcut above;
// false, with `c` untouched, where it does not apply.
bool add_uniform_tail(MassCentre& c, std::size_t start, const UniformTail& tail,
                      const std::vector<Entering>& entering) {
  if (start == entering.size()) {
    return true;
  }
  if (tail.uniform[start] == 0 || !same_bits(c.x, entering[start].x) ||
      !same_bits(c.y, entering[start].y) || !whole_mass(c.mass) ||
      !(c.mass + tail.mass[start] <= max_exact_total)) {
    return false;
  }
  c.mass = c.mass + tail.mass[start];
  return true;
}

MassCentre read_centre(const RegionMatrix& regions, std::size_t offset) {
  require_index(regions.size(), offset + region::mass_center_y);
  const double* reg = regions.data() + offset;
  return {reg[region::mass], reg[region::mass_center_x], reg[region::mass_center_y]};
}

void write_centre(RegionMatrix& regions, std::size_t offset, const MassCentre& c) {
  double* reg = regions.data() + offset;  // tested by read_centre
  reg[region::mass] = c.mass;
  reg[region::mass_center_x] = c.x;
  reg[region::mass_center_y] = c.y;
}

bool same_centre(const MassCentre& a, const MassCentre& b) {
  return same_bits(a.mass, b.mass) && same_bits(a.x, b.x) && same_bits(a.y, b.y);
}

// Levels whose centres are worked out together, one lane per group of
// levels that share a start and a base.
class LaneBatch {
 public:
  bool full() const { return lanes_ == max_lanes; }
  bool takes(std::size_t start) const { return lanes_ == 0 || starts_[lanes_ - 1] <= start; }

  void add(const MassCentre& base, std::size_t start, std::size_t begin, std::size_t end) {
    centres_[lanes_] = base;
    starts_[lanes_] = start;
    groups_[lanes_] = {begin, end};
    ++lanes_;
  }

  // Works the lanes out and writes each to its group's levels.
  void flush(RegionMatrix& regions, const std::vector<ChainLevel>& levels,
             const std::vector<Entering>& entering) {
    add_from_starts(centres_, starts_, lanes_, entering);
    for (std::size_t lane = 0; lane < lanes_; ++lane) {
      for (std::size_t l = groups_[lane][0]; l < groups_[lane][1]; ++l) {
        write_centre(regions, levels[l].offset, centres_[lane]);
      }
    }
    lanes_ = 0;
  }

 private:
  Lanes centres_{};
  std::array<std::size_t, max_lanes> starts_{};
  std::array<std::array<std::size_t, 2>, max_lanes> groups_{};
  std::size_t lanes_ = 0;
};

// Gives every level of the chain the entering nodes it owes. Levels split in
// one insertion start alike from alike bases and so end alike: one centre is
// worked out for all of them.
template <std::size_t mass_slot = slot::mass>
void settle_chain(RegionMatrix& regions, std::span<const float> nodes, const Chain& chain) {
  std::vector<Entering> entering;
  entering.reserve(chain.entered.size());
  for (const std::size_t offset : chain.entered) {
    const Body b = read_body<mass_slot>(nodes, offset);
    entering.push_back({b.x, b.y, b.mass});
  }
  const UniformTail tail = uniform_tail(entering);
  const std::vector<ChainLevel>& levels = chain.levels;
  LaneBatch batch;
  std::size_t l = 0;
  while (l < levels.size()) {
    MassCentre base = read_centre(regions, levels[l].offset);
    const std::size_t start = levels[l].start;
    std::size_t end = l + 1;
    while (end < levels.size() && levels[end].start == start &&
           same_centre(read_centre(regions, levels[end].offset), base)) {
      ++end;
    }
    if (add_uniform_tail(base, start, tail, entering)) {
      for (std::size_t k = l; k < end; ++k) {
        write_centre(regions, levels[k].offset, base);
      }
    } else {
      if (!batch.takes(start)) {
        batch.flush(regions, levels, entering);
      }
      batch.add(base, start, l, end);
      if (batch.full()) {
        batch.flush(regions, levels, entering);
      }
    }
    l = end;
  }
  batch.flush(regions, levels, entering);
}

inline void prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Each insertion follows a path of dependent loads, and once the tree outgrows
// the cache each step of it is a miss. Cursors for the next `lookahead` nodes
// step one level down per insertion and prefetch the region they reach, so a
// node's path is mostly cached by its turn (2.5x faster at a million nodes).
// A cursor reads only what never changes once written (a centre, the
// first_child of a region with children), so it cannot change the tree.
class PathPrefetcher {
 public:
  static constexpr std::size_t lookahead = 16;

  // Moves the cursors of insertions after `inserted` one level down; the
  // cursor of insertion inserted + lookahead starts at the root. `base(k)` is
  // the node-matrix offset of the node of insertion k.
  template <class NodeBase>
  void advance(const RegionMatrix& regions, std::span<const float> nodes, std::size_t inserted,
               std::size_t count, NodeBase&& base) {
    cursor_[(inserted + lookahead) % lookahead] = 0;
    const std::size_t last = std::min(count, inserted + 1 + lookahead);
    for (std::size_t k = inserted + 1; k < last; ++k) {
      std::size_t& r = cursor_[k % lookahead];
      require_index(regions.size(), r + region::mass_center_y);
      const double* reg = regions.data() + r;
      if (reg[region::first_child] >= 0) {
        const std::size_t node = base(k);
        const double x = nodes[node + slot::x];
        const double y = nodes[node + slot::y];
        r = region_offset(reg[region::first_child]) +
            quadrant(x, y, reg[region::center_x], reg[region::center_y]) * region_stride;
        require_index(regions.size(), r + region::mass_center_y);
        prefetch(regions.data() + r);
        prefetch(regions.data() + r + region::mass_center_y);  // a region spans two lines
      }
    }
  }

 private:
  std::array<std::size_t, lookahead> cursor_{};
};

// ---- the tree in cells ----------------------------------------------------------
//
// The regions `cell_depth` levels below the root are the cells. A node's path
// down to its cell depends only on the nodes before it that took the same
// path, so one pass in node order over the few regions above the cells (the
// top) routes every node there exactly as insert() would: a node arriving at a
// cell arrives at that cell's root with the split budget its insertion has
// left, and a node held by a region that splits just above a cell arrives
// with the splitting node. Each cell then receives its nodes in node order,
// so insert() builds its subtree with the sequential regions, masses and
// mass centres; only the numbering of the regions differs, which no walk sees.

using quadtree::Arrival;
using quadtree::BuildScratch;
using quadtree::Cell;

// Cells of some ten to sixty thousand nodes keep a subtree in the caches.
constexpr std::size_t cell_depth_limit = 4;
std::size_t cell_depth_for(std::size_t count) {
  return count <= (std::size_t{2} << 20) ? 3 : cell_depth_limit;
}

// Below a crowded cell the next tree's cells lie at most this many levels
// deeper.
constexpr std::size_t max_extra_cell_depth = 2;

// Cells are numbered level by level: the 4^d regions d levels down follow
// the (4^d - 1) / 3 above them, each level by its paths from the root.
std::size_t cell_number(std::size_t depth, std::size_t path) {
  return ((std::size_t{1} << (2 * depth)) - 1) / 3 + path;
}

// A node arriving at a cell, its body packed beside the others': the cell's
// build then reads its nodes in one stream instead of scattered over the node
// matrix (a third of the build's time at 100,000 nodes).
void hand_to_cell(Cell& cell, std::span<const float> nodes, std::size_t node, int splits_left) {
  cell.arrivals.push_back(
      {static_cast<std::uint32_t>(node), static_cast<std::uint32_t>(splits_left)});
  const float* n = nodes.data() + node * node_stride;
  cell.bodies.insert(cell.bodies.end(), {n[slot::x], n[slot::y], n[slot::mass]});
}

class TopRouter {
 public:
  TopRouter(BuildScratch& scratch, std::span<const float> nodes, std::size_t base_depth)
      : s_(scratch), nodes_(nodes), base_(base_depth) {}

  // insert() above the cells; a node reaching a cell is handed to it. The
  // regions it passes get its mass here, or, if `add_mass` is false, later
  // from the caller, in node order.
  void route(const Body& n, bool add_mass = true) {
    std::size_t r = 0;
    std::size_t depth = 0;
    std::size_t path = 0;  // the quadrants taken from the root, two bits each
    int splits_left = splits_after_first;
    for (;;) {
      if (at(s_.cell_of, r / region_stride) >= 0) {
        arrive(r, n, splits_left);
        return;
      }
      require_index(s_.top.size(), r + region::mass_center_y);
      double* reg = s_.top.data() + r;
      if (reg[region::first_child] >= 0) {
        const std::size_t q = quadrant(n.x, n.y, reg[region::center_x], reg[region::center_y]);
        if (add_mass) {
          accumulate(reg, n);
        }
        r = region_offset(reg[region::first_child]) + q * region_stride;
        ++depth;
        path = 4 * path + q;
        continue;
      }
      if (reg[region::node] < 0) {
        reg[region::node] = static_cast<double>(n.offset);
        return;
      }
      const Body held = read_body(nodes_, region_offset(reg[region::node]));
      const std::size_t first = append_children(s_.top, r);
      note_children(first, depth + 1, path);
      reg = s_.top.data() + r;
      const double cx = reg[region::center_x];
      const double cy = reg[region::center_y];
      const std::size_t held_quadrant = quadrant(held.x, held.y, cx, cy);
      const std::size_t q_held = first + held_quadrant * region_stride;
      reg[region::mass] = held.mass;
      reg[region::mass_center_x] = held.x;
      reg[region::mass_center_y] = held.y;
      place(q_held, held);
      reg[region::node] = -1.0;
      const std::size_t q_new = first + quadrant(n.x, n.y, cx, cy) * region_stride;
      if (q_new != q_held) {
        place(q_new, n);
        return;
      }
      if (splits_left == 0) {
        return;
      }
      --splits_left;
      r = q_held;
      ++depth;
      path = 4 * path + held_quadrant;
    }
  }

 private:
  // Cells lie base_ levels below the root, or deeper below the regions the
  // last tree found crowded. A cell is numbered by its depth and its path
  // from the root, so that from one tree to the next the same part of the
  // plane, with about as many nodes, reuses the same arrays.
  bool makes_cell(std::size_t depth, std::size_t path) const {
    return depth >= base_ && (depth == base_ + max_extra_cell_depth ||
                              at(s_.deeper, cell_number(depth, path)) == 0);
  }

  void note_children(std::size_t first, std::size_t depth, std::size_t parent_path) {
    s_.cell_of.resize(s_.top.size() / region_stride, -1);
    for (std::size_t q = 0; q < 4; ++q) {
      const std::size_t path = 4 * parent_path + q;
      if (!makes_cell(depth, path)) {
        continue;
      }
      const std::size_t offset = first + q * region_stride;
      const std::size_t number = cell_number(depth, path);
      s_.cell_of[offset / region_stride] = static_cast<std::int32_t>(number);
      Cell& cell = at(s_.cells, number);
      cell.top_offset = offset;
      cell.depth = depth;
      cell.path = path;
      cell.arrivals.clear();
      cell.bodies.clear();
      s_.cell_order.push_back(static_cast<std::uint32_t>(number));
    }
  }

  // A node set into a child of a region just split: held by it, or handed
  // to the cell when the child is one (an empty root: the budget is unused).
  void place(std::size_t child, const Body& b) {
    if (at(s_.cell_of, child / region_stride) >= 0) {
      arrive(child, b, splits_after_first);
    } else {
      s_.top[child + region::node] = static_cast<double>(b.offset);
    }
  }

  void arrive(std::size_t r, const Body& b, int splits_left) {
    const std::int32_t cell = at(s_.cell_of, r / region_stride);
    hand_to_cell(s_.cells[static_cast<std::size_t>(cell)], nodes_, b.offset / node_stride,
                 splits_left);
  }

  BuildScratch& s_;
  std::span<const float> nodes_;
  std::size_t base_;
};

// ---- routes worked out beforehand ---------------------------------------------
//
// Once every region on a node's way down to a cell has children, the node
// changes nothing in the top: it adds itself to those regions' mass centres
// and arrives at the cell with its whole split budget. The quadrant it takes
// at each level depends only on the region's centre, and append_children
// derives every centre from the root's square alone. So each node's
// quadrants down to the deepest cells are worked out first, on several
// threads, and the pass in node order looks up where they lead, taking the
// slow route only where the top still changes.

// The quadrants of every node, two bits a level from the root, down to the
// deepest cells: the centres of the full tree above them, level by level.
class QuadrantCodes {
 public:
  QuadrantCodes(const RegionMatrix& top, std::size_t levels) : levels_(levels) {
    const std::size_t regions = cell_number(levels, 0);
    center_x_.resize(regions);
    center_y_.resize(regions);
    std::vector<double> half(regions);
    center_x_[0] = top[region::center_x];
    center_y_[0] = top[region::center_y];
    half[0] = top[region::half_size];
    for (std::size_t d = 0; d + 1 < levels; ++d) {
      for (std::size_t path = 0; path < (std::size_t{1} << (2 * d)); ++path) {
        // append_children's arithmetic, child by child.
        const std::size_t parent = cell_number(d, path);
        const double h = half[parent] * 0.5;
        for (std::size_t q = 0; q < 4; ++q) {
          const std::size_t child = cell_number(d + 1, 4 * path + q);
          center_x_[child] = q < 2 ? center_x_[parent] - h : center_x_[parent] + h;
          center_y_[child] = q % 2 == 0 ? center_y_[parent] - h : center_y_[parent] + h;
          half[child] = h;
        }
      }
    }
  }

  std::size_t levels() const { return levels_; }

  // The quadrants of nodes [begin, end), as quadrant() picks them.
  void write(std::span<const float> nodes, std::size_t begin, std::size_t end,
             std::uint16_t* codes) const {
    for (std::size_t i = begin; i < end; ++i) {
      const double x = nodes[i * node_stride + slot::x];
      const double y = nodes[i * node_stride + slot::y];
      std::size_t path = 0;
      for (std::size_t d = 0; d < levels_; ++d) {
        const std::size_t r = cell_number(d, path);
        path = 4 * path + quadrant(x, y, center_x_[r], center_y_[r]);
      }
      codes[i] = static_cast<std::uint16_t>(path);
    }
  }

 private:
  std::size_t levels_;
  std::vector<double> center_x_;
  std::vector<double> center_y_;
};

// Where each quadrant code leads in the top as it stands: the cell reached
// through regions that all have children, or `slow` where the route would
// change the top. Each route keeps the regions it passes, for their masses:
// a cell's, and one per node taking a slow route (down to the region it
// changes).
class KnownRoutes {
 public:
  static constexpr std::int32_t slow = -1;

  KnownRoutes(BuildScratch& s, std::size_t levels) : s_(s), levels_(levels) {
    s.cell_of_code.assign(std::size_t{1} << (2 * levels), slow);
    s.route_regions.assign(s.cells.size(), {});
    s.slow_routes.clear();
  }

  std::int32_t cell(std::uint16_t code) const { return s_.cell_of_code[code]; }

  // Notes the route of node `i`, taking `code`, down to the first region it
  // would change; returns that region's depth.
  std::size_t note_slow(std::size_t i, std::uint16_t code) {
    quadtree::RouteRegions a;
    std::size_t r = 0;
    for (std::size_t d = 0; d < levels_; ++d) {
      const double* reg = s_.top.data() + r;
      if (at(s_.cell_of, r / region_stride) >= 0 || !(reg[region::first_child] >= 0)) {
        break;
      }
      a.offsets[a.count++] = static_cast<std::uint32_t>(r);
      r = region_offset(reg[region::first_child]) + quadrant_at(code, d) * region_stride;
    }
    s_.slow_routes.emplace_back(i, s_.route_regions.size());
    s_.route_regions.push_back(a);
    return a.count;
  }

  // The codes sharing the first `depth` quadrants of `code`.
  void refresh(std::uint16_t code, std::size_t depth) {
    const std::size_t shift = 2 * (levels_ - depth);
    const std::size_t first = (std::size_t{code} >> shift) << shift;
    for (std::size_t c = first; c < first + (std::size_t{1} << shift); ++c) {
      s_.cell_of_code[c] = lookup(c);
    }
  }

 private:
  std::size_t quadrant_at(std::size_t code, std::size_t depth) const {
    return (code >> (2 * (levels_ - 1 - depth))) & 3;
  }

  std::int32_t lookup(std::size_t code) {
    quadtree::RouteRegions a;
    std::size_t r = 0;
    for (std::size_t d = 0; d <= levels_; ++d) {
      require_index(s_.top.size(), r + region::mass_center_y);
      const std::int32_t cell = at(s_.cell_of, r / region_stride);
      if (cell >= 0) {
        at(s_.route_regions, static_cast<std::size_t>(cell)) = a;
        return cell;
      }
      const double* reg = s_.top.data() + r;
      if (d == levels_ || !(reg[region::first_child] >= 0)) {
        return slow;
      }
      a.offsets[a.count++] = static_cast<std::uint32_t>(r);
      r = region_offset(reg[region::first_child]) + quadrant_at(code, d) * region_stride;
    }
    return slow;
  }

  BuildScratch& s_;
  std::size_t levels_;
};

// Every node in node order: along its known route, or through the router
// where the top still changes. Either way the masses the node adds to the
// regions it passes are left to add_top_masses().
void route_all(BuildScratch& s, std::span<const float> nodes, std::size_t base,
               const QuadrantCodes& codes) {
  const std::size_t count = nodes.size() / node_stride;
  TopRouter router(s, nodes, base);
  KnownRoutes routes(s, codes.levels());
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t code = s.codes[i];
    const std::int32_t cell = routes.cell(code);
    if (cell != KnownRoutes::slow) {
      hand_to_cell(s.cells[static_cast<std::size_t>(cell)], nodes, i, splits_after_first);
      continue;
    }
    const std::size_t changed_from = routes.note_slow(i, code);
    router.route(read_body(nodes, i * node_stride), /*add_mass=*/false);
    routes.refresh(code, changed_from);
  }
  s.slow_routes.emplace_back(count, 0);  // past the last node
}

// Plans the next tree's cells from this one's: a cell holding more than a
// sixteenth of the nodes is split one level further, and a region split
// before is kept split while its cells still hold half that; the others
// become cells again. So no cell keeps the others' threads waiting long.
void plan_cells(BuildScratch& s, std::size_t count, std::size_t base) {
  const std::size_t crowded = std::max<std::size_t>(count / 16, std::size_t{1} << 12);
  std::vector<std::size_t> load(s.deeper.size(), 0);
  std::fill(s.deeper.begin(), s.deeper.end(), std::uint8_t{0});
  for (const std::uint32_t c : s.cell_order) {
    const Cell& cell = s.cells[c];
    const std::size_t held = cell.arrivals.size();
    for (std::size_t d = base; d < cell.depth; ++d) {
      load[cell_number(d, cell.path >> (2 * (cell.depth - d)))] += held;
    }
    if (held > crowded && cell.depth < base + max_extra_cell_depth) {
      s.deeper[c] = 1;
    }
  }
  for (std::size_t k = 0; k < load.size(); ++k) {
    if (load[k] > crowded / 2) {
      s.deeper[k] = 1;
    }
  }
}

// What a cell may keep beyond twice the room it needs (some 128 KB).
constexpr std::size_t max_idle_room = std::size_t{1} << 14;

// Cells this tree does not have give back what they held for an earlier one.
void release_idle_cells(BuildScratch& s) {
  std::vector<std::uint8_t> active(s.cells.size(), 0);
  for (const std::uint32_t c : s.cell_order) {
    active[c] = 1;
  }
  for (std::size_t c = 0; c < s.cells.size(); ++c) {
    if (active[c] == 0 && s.cells[c].regions.capacity() > max_idle_room) {
      RegionMatrix().swap(s.cells[c].regions);
      decltype(Cell::arrivals)().swap(s.cells[c].arrivals);
      decltype(Cell::bodies)().swap(s.cells[c].bodies);
    }
  }
}

}  // namespace

namespace quadtree {

RegionMatrix build(std::span<const float> nodes) {
  RegionMatrix regions;
  build_into(regions, nodes);
  return regions;
}

void build_into(RegionMatrix& regions, std::span<const float> nodes) {
  const std::size_t count = nodes.size() / node_stride;
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::mass);  // every node read below
  }
  Box box = bounding_box(nodes, count);
  make_square(box);
  regions.clear();
  append_root(regions, box);
  PathPrefetcher prefetcher;
  Chains chains;
  for (std::size_t i = 0; i < count; ++i) {
    insert(regions, nodes, read_body(nodes, i * node_stride), chains);
    prefetcher.advance(regions, nodes, i, count, [](std::size_t k) { return k * node_stride; });
  }
  for (const Chain& chain : chains.list) {
    settle_chain(regions, nodes, chain);
  }
}

void route_to_cells(std::span<const float> nodes, BuildScratch& s,
                    const PartRunner& for_each_part) {
  const std::size_t count = nodes.size() / node_stride;
  if (count >= std::size_t{1} << 32) {
    fatal("capacity overflow: " + std::to_string(count) +
          " nodes are too many to number with 32-bit indices");
  }
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::mass);  // every node read below
  }
  Box box = bounding_box_in_parts(nodes, count, for_each_part);
  make_square(box);
  s.top.clear();
  append_root(s.top, box);
  s.cell_of.assign(1, -1);
  const std::size_t base = cell_depth_for(count);
  const std::size_t numbers = cell_number(base + max_extra_cell_depth + 1, 0);
  if (s.cells.size() != numbers) {
    s.cells.resize(numbers);
    s.deeper.assign(numbers, 0);
  }
  s.cell_order.clear();
  static_assert(cell_depth_limit + max_extra_cell_depth <= quadtree::max_route_levels);
  const QuadrantCodes quadrants(s.top, base + max_extra_cell_depth);
  s.codes.resize(count);
  constexpr std::size_t parts = 16;
  for_each_part(parts, [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      quadrants.write(nodes, count * part / parts, count * (part + 1) / parts, s.codes.data());
    }
  });
  route_all(s, nodes, base, quadrants);
  // The largest cells first, so that the last ones to start are small.
  std::sort(s.cell_order.begin(), s.cell_order.end(), [&s](std::uint32_t a, std::uint32_t b) {
    return s.cells[a].arrivals.size() > s.cells[b].arrivals.size();
  });
  release_idle_cells(s);
  plan_cells(s, count, base);
}

// A known route stays known (regions with children stay so), so a node's
// code still finds its cell's route; the nodes of slow routes are listed.
void add_top_masses(BuildScratch& s, std::span<const float> nodes, std::size_t part) {
  const std::size_t first = part == 0 ? 0 : 1;
  const std::size_t last = part == 0 ? 1 : max_route_levels;
  const std::size_t count = nodes.size() / node_stride;
  require_index(s.codes.size() + 1, count);  // a code for every node
  auto next_slow = s.slow_routes.begin();
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t route = 0;
    if (i == next_slow->first) {
      route = (next_slow++)->second;
    } else {
      route = static_cast<std::size_t>(s.cell_of_code[s.codes[i]]);
    }
    const RouteRegions& above = at(s.route_regions, route);
    const Body n = read_body(nodes, i * node_stride);
    for (std::size_t d = first; d < std::min(last, above.count); ++d) {
      accumulate(s.top.data() + above.offsets[d], n);
    }
  }
}

// insert() for every node that reaches the cell, in node order, below a root
// with the cell's square.
void build_cell(Cell& cell, const RegionMatrix& top) {
  RegionMatrix& regions = cell.regions;
  // Room for the expected regions from the start spares the doublings, whose
  // freed arrays a worker thread's allocator keeps: the first tree would hold
  // half as much again. A cell that has lost most of its nodes gives back
  // what it held, and one that needs more drops its old tree before it grows.
  const std::size_t room = quadtree::expected_regions(cell) * region_stride;
  if (regions.capacity() < room || regions.capacity() > 2 * room + max_idle_room) {
    RegionMatrix().swap(regions);  // the old tree is not copied over
  }
  regions.reserve(room);
  // An earlier, larger tree's pages go before this one's are written, so
  // that the cells never hold both at once.
  release_pages_past(regions, std::max(room, region_stride));
  regions.assign(region_stride, 0.0);
  const double* root = top.data() + cell.top_offset;
  regions[region::node] = -1.0;
  regions[region::center_x] = root[region::center_x];
  regions[region::center_y] = root[region::center_y];
  regions[region::half_size] = root[region::half_size];
  regions[region::next] = -1.0;
  regions[region::first_child] = -1.0;
  Chains chains;
  PathPrefetcher prefetcher;
  const auto& arrivals = cell.arrivals;
  const std::span<const float> bodies(cell.bodies);
  if (bodies.size() != arrivals.size() * packed_body::stride) {
    fatal("broken cell: " + std::to_string(arrivals.size()) + " nodes arrived with " +
          std::to_string(bodies.size()) + " packed values");
  }
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    insert<packed_body::mass>(regions, bodies,
                              read_body<packed_body::mass>(bodies, k * packed_body::stride),
                              chains, static_cast<int>(arrivals[k].splits_left));
    prefetcher.advance(regions, bodies, k, arrivals.size(),
                       [](std::size_t i) { return i * packed_body::stride; });
  }
  for (const Chain& chain : chains.list) {
    settle_chain<packed_body::mass>(regions, bodies, chain);
  }
}

}  // namespace quadtree
}  // namespace tallow
