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
#include "quadtree_parts.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {
namespace {

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
  std::size_t enter(std::span<const double> regions, std::size_t top, std::size_t q,
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
  static void extend_over_split_levels(std::span<const double> regions, Chain& chain) {
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
template <std::size_t mass_slot = slot::mass, class Regions>
void insert(Regions& regions, std::span<const float> nodes, const Body& n, Chains& chains,
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
// (With SSE2, add_range() performs them in lanes instead.)
[[maybe_unused]] inline void add_to(MassCentre& c, const Entering& e) {
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

MassCentre read_centre(std::span<const double> regions, std::size_t offset) {
  require_index(regions.size(), offset + region::mass_center_y);
  const double* reg = regions.data() + offset;
  return {reg[region::mass], reg[region::mass_center_x], reg[region::mass_center_y]};
}

void write_centre(std::span<double> regions, std::size_t offset, const MassCentre& c) {
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
  void flush(std::span<double> regions, const std::vector<ChainLevel>& levels,
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

// Whether a walk can read the region at `offset`: its opening, formed as the
// walk tree forms it, is finite (see quadtree::Centres).
bool walk_reads(std::span<const double> regions, std::size_t offset) {
  require_index(regions.size(), offset + region::half_size);
  const double half = regions[offset + region::half_size];
  return 4.0 * half * half < std::numeric_limits<double>::infinity();
}

// The first level of the chain whose centre is worked out: levels run from
// the top down and openings shrink downwards, so the unread ones come first.
std::size_t first_settled_level(std::span<const double> regions, const Chain& chain,
                                quadtree::Centres centres) {
  std::size_t l = 0;
  if (centres == quadtree::Centres::walked_regions) {
    while (l < chain.levels.size() && !walk_reads(regions, chain.levels[l].offset)) {
      ++l;
    }
  }
  return l;
}

// Gives every level of the chain the entering nodes it owes. Levels split in
// one insertion start alike from alike bases and so end alike: one centre is
// worked out for all of them.
template <std::size_t mass_slot = slot::mass>
void settle_chain(std::span<double> regions, std::span<const float> nodes, const Chain& chain,
                  quadtree::Centres centres) {
  const std::vector<ChainLevel>& levels = chain.levels;
  std::size_t l = first_settled_level(regions, chain, centres);
  if (l == levels.size()) {
    return;
  }
  std::vector<Entering> entering;
  entering.reserve(chain.entered.size());
  for (const std::size_t offset : chain.entered) {
    const Body b = read_body<mass_slot>(nodes, offset);
    entering.push_back({b.x, b.y, b.mass});
  }
  const UniformTail tail = uniform_tail(entering);
  LaneBatch batch;
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
  void advance(std::span<const double> regions, std::span<const float> nodes, std::size_t inserted,
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

}  // namespace

namespace quadtree {

RegionMatrix build(std::span<const float> nodes) {
  RegionMatrix regions;
  build_into(regions, nodes);
  return regions;
}

void build_into(RegionMatrix& regions, std::span<const float> nodes, Centres centres) {
  const std::size_t count = nodes.size() / node_stride;
  if (count > 0) {
    require_index(nodes.size(), (count - 1) * node_stride + slot::mass);  // every node read below
  }
  Box box = bounding_box(nodes, count);
  make_square(box);
  regions.clear();
  // Room for the expected regions from the start, as a cell's: each doubling
  // took fresh pages and copied the tree, and a small graph's first tree
  // spent more on those page faults than on its nodes (5,000 nodes: five
  // arrays, 2.3 MB, for a tree of 1.2 MB). Room never written takes no pages.
  regions.reserve(quadtree::with_headroom(quadtree::expected_regions(count) * region_stride));
  append_root(regions, box);
  PathPrefetcher prefetcher;
  Chains chains;
  for (std::size_t i = 0; i < count; ++i) {
    insert(regions, nodes, read_body(nodes, i * node_stride), chains);
    prefetcher.advance(regions, nodes, i, count, [](std::size_t k) { return k * node_stride; });
  }
  for (const Chain& chain : chains.list) {
    settle_chain(regions, nodes, chain, centres);
  }
}

// insert() for every node that reaches the cell, in node order, below a root
// with the cell's square.
void build_cell(Cell& cell, const RegionMatrix& top, Centres centres) {
  CellRegions& regions = cell.regions;
  // Room for the expected regions from the start spares the doublings, whose
  // freed arrays a worker thread's allocator keeps: the first tree would hold
  // half as much again. A cell that has lost most of its nodes gives back
  // what it held, and one that needs more drops its old tree before it grows.
  // The room is reserved with headroom, which costs no pages until written:
  // cells gain and lose nodes from step to step, and an array dropped for a
  // few more nodes had all its pages faulted in again (half the cells in the
  // first dozen steps at a million nodes).
  const std::size_t room = quadtree::expected_regions(cell) * region_stride;
  if (regions.capacity() < room ||
      regions.capacity() > quadtree::max_room_factor * room + quadtree::max_idle_room) {
    CellRegions().swap(regions);  // the old tree is not copied over
    regions.reserve(quadtree::with_headroom(room));
    cell.regions_touched = 0;
  }
  // An earlier, much larger tree's pages go before this one's are written,
  // so that the cells never hold both at once. Within the headroom the last
  // trees' pages stay: cells' trees grow and shrink a little from step to
  // step, and giving back a few pages to fault them in again next step costs
  // system calls that stop both cores.
  const std::size_t keep = std::max(
      {room, region_stride, std::min(regions.size(), quadtree::with_headroom(room))});
  if (std::max(cell.regions_touched, regions.size()) > quadtree::with_headroom(keep)) {
    release_pages_past(regions, keep);
    cell.regions_touched = keep;
  }
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
    settle_chain<packed_body::mass>(regions, bodies, chain, centres);
  }
  cell.regions_touched = std::max(cell.regions_touched, regions.size());
}

}  // namespace quadtree
}  // namespace tallow
