// The tree in cells, first half: the regions above the cells (the top) and
// every node's way down to its cell.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "checked.hpp"
#include "fatal.hpp"
#include "matrices.hpp"
#include "quadtree.hpp"
#include "quadtree_parts.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallow {
namespace {

// bounding_box() over parts of the nodes at once. The smallest and largest
// of a set do not depend on the order they are taken in, but for the sign of
// a zero, which fmin and fmax pick by argument order: a box with a zero side
// is taken again in node order.
Box bounding_box_in_parts(std::span<const float> nodes, std::size_t count,
                          const ForEachRange& for_each_part) {
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

// Cells of a few thousand nodes build their subtree within a core's cache
// (a quarter less time for the tree at a million nodes than cells four times
// as large). The nodes' square covers a quarter of the regions d levels down,
// so cells lie deep enough for some 8,192 nodes each, at least three levels
// down and at most cell_depth_limit.
constexpr std::size_t cell_depth_limit = 5;
constexpr std::size_t nodes_per_cell = 8192;
std::size_t cell_depth_for(std::size_t count, std::size_t fixed) {
  if (fixed != 0) {
    return std::min(fixed, cell_depth_limit);
  }
  std::size_t depth = 3;
  while (depth < cell_depth_limit && count > nodes_per_cell << (2 * (depth - 1))) {
    ++depth;
  }
  return depth;
}

// Below a crowded cell the next tree's cells lie at most this many levels
// deeper.
constexpr std::size_t max_extra_cell_depth = 2;

// Cells are numbered level by level: the 4^d regions d levels down follow
// the (4^d - 1) / 3 above them, each level by its paths from the root.
std::size_t cell_number(std::size_t depth, std::size_t path) {
  return ((std::size_t{1} << (2 * depth)) - 1) / 3 + path;
}

class TopRouter {
 public:
  TopRouter(BuildScratch& scratch, std::span<const float> nodes, std::size_t base_depth)
      : s_(scratch), nodes_(nodes), base_(base_depth) {}

  // insert() above the cells; a node reaching a cell is noted as arriving
  // there. The masses it adds to the regions it passes are left to
  // add_top_masses().
  void route(const Body& n) {
    routing_ = n.offset / node_stride;
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

  // Noted for hand_out_arrivals(), at the node being routed.
  void arrive(std::size_t r, const Body& b, int splits_left) {
    const std::int32_t cell = at(s_.cell_of, r / region_stride);
    s_.slow_arrivals.push_back({routing_, static_cast<std::uint32_t>(cell),
                                {static_cast<std::uint32_t>(b.offset / node_stride),
                                 static_cast<std::uint32_t>(splits_left)}});
  }

  BuildScratch& s_;
  std::span<const float> nodes_;
  std::size_t base_;
  std::size_t routing_ = 0;  // the node being routed
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
    const Descent descent = descend(code);
    s_.slow_routes.emplace_back(i, s_.route_regions.size());
    s_.route_regions.push_back(descent.passed);
    return descent.passed.count;
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

  // The regions with children that `code` passes from the root, and the
  // region where they end: a cell, or a leaf that the route would change.
  struct Descent {
    quadtree::RouteRegions passed;
    std::size_t end = 0;
  };

  Descent descend(std::size_t code) const {
    Descent descent;
    for (std::size_t d = 0; d < levels_; ++d) {
      require_index(s_.top.size(), descent.end + region::mass_center_y);
      const double* reg = s_.top.data() + descent.end;
      if (at(s_.cell_of, descent.end / region_stride) >= 0 || !(reg[region::first_child] >= 0)) {
        break;
      }
      descent.passed.offsets[descent.passed.count++] = static_cast<std::uint32_t>(descent.end);
      descent.end = region_offset(reg[region::first_child]) + quadrant_at(code, d) * region_stride;
    }
    return descent;
  }

  std::int32_t lookup(std::size_t code) {
    const Descent descent = descend(code);
    const std::int32_t cell = at(s_.cell_of, descent.end / region_stride);
    if (cell >= 0) {
      at(s_.route_regions, static_cast<std::size_t>(cell)) = descent.passed;
    }
    return cell >= 0 ? cell : slow;
  }

  BuildScratch& s_;
  std::size_t levels_;
};

// Every node in node order: a node on a known route leads to its cell (its
// code says which, now and later); the others go through the router, which
// changes the top and notes the arrivals they make. Arrivals are handed out
// afterwards (hand_out_arrivals) and the masses the nodes add to the regions
// they pass by add_top_masses().
void route_all(BuildScratch& s, std::span<const float> nodes, std::size_t base,
               const QuadrantCodes& codes) {
  const std::size_t count = nodes.size() / node_stride;
  TopRouter router(s, nodes, base);
  KnownRoutes routes(s, codes.levels());
  s.slow_arrivals.clear();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t code = s.codes[i];
    if (routes.cell(code) != KnownRoutes::slow) {
      continue;
    }
    const std::size_t changed_from = routes.note_slow(i, code);
    router.route(read_body(nodes, i * node_stride));
    routes.refresh(code, changed_from);
  }
  s.slow_routes.emplace_back(count, 0);  // past the last node
}

// Each cell receives its arrivals in node order, a slow route's where its
// node lies, each with its body packed beside the others' (the cell's build
// then reads its nodes in one stream instead of scattered over the node
// matrix: a third of the build's time at 100,000 nodes). Parts of the nodes
// count their arrivals per cell, then write them where the parts before
// leave off, possibly at once.
class ArrivalHandout {
 public:
  static constexpr std::size_t parts = 16;

  ArrivalHandout(BuildScratch& s, std::span<const float> nodes)
      : s_(s), nodes_(nodes), count_(nodes.size() / node_stride), cells_(s.cell_order.size()) {
    s.rank_of_cell.resize(s.cells.size());
    for (std::size_t k = 0; k < cells_; ++k) {
      s.rank_of_cell[s.cell_order[k]] = static_cast<std::uint32_t>(k);
    }
    s.arrival_counts.assign(parts * cells_, 0);
  }

  void count(std::size_t part) {
    std::uint32_t* counts = s_.arrival_counts.data() + part * cells_;
    visit(part, [counts](std::uint32_t rank, std::uint32_t, std::uint32_t) { ++counts[rank]; });
  }

  // Where each part's arrivals go, and each cell's room for them.
  void place() {
    for (std::size_t k = 0; k < cells_; ++k) {
      std::uint32_t total = 0;
      for (std::size_t part = 0; part < parts; ++part) {
        total += std::exchange(s_.arrival_counts[part * cells_ + k], total);
      }
      Cell& cell = s_.cells[s_.cell_order[k]];
      if (cell.arrivals.capacity() < total) {
        cell.arrivals.reserve(quadtree::with_headroom(total));
        cell.bodies.reserve(3 * quadtree::with_headroom(total));
      }
      cell.arrivals.resize(total);
      cell.bodies.resize(3 * std::size_t{total});
    }
  }

  void write(std::size_t part) {
    std::uint32_t* next = s_.arrival_counts.data() + part * cells_;
    visit(part, [&](std::uint32_t rank, std::uint32_t node, std::uint32_t splits_left) {
      Cell& cell = s_.cells[s_.cell_order[rank]];
      const std::uint32_t k = next[rank]++;
      cell.arrivals[k] = {node, splits_left};
      const float* n = nodes_.data() + std::size_t{node} * node_stride;
      float* body = cell.bodies.data() + 3 * std::size_t{k};
      body[quadtree::packed_body::x] = n[slot::x];
      body[quadtree::packed_body::y] = n[slot::y];
      body[quadtree::packed_body::mass] = n[slot::mass];
    });
  }

 private:
  // Every arrival the part's nodes make, in node order: arrive(rank of the
  // cell, node, splits left).
  template <class Arrive>
  void visit(std::size_t part, Arrive&& arrive) const {
    const std::size_t first = count_ * part / parts;
    const std::size_t end = count_ * (part + 1) / parts;
    auto slow = std::lower_bound(s_.slow_routes.begin(), s_.slow_routes.end(), first,
                                 [](const auto& route, std::size_t i) { return route.first < i; });
    auto late = std::lower_bound(
        s_.slow_arrivals.begin(), s_.slow_arrivals.end(), first,
        [](const BuildScratch::SlowArrival& a, std::size_t i) { return a.at < i; });
    for (std::size_t i = first; i < end; ++i) {
      if (i == slow->first) {
        ++slow;
        for (; late != s_.slow_arrivals.end() && late->at == i; ++late) {
          arrive(s_.rank_of_cell[late->cell], late->arrival.node, late->arrival.splits_left);
        }
        continue;
      }
      const auto cell = static_cast<std::uint32_t>(s_.cell_of_code[s_.codes[i]]);
      arrive(s_.rank_of_cell[cell], static_cast<std::uint32_t>(i),
             static_cast<std::uint32_t>(splits_after_first));
    }
  }

  BuildScratch& s_;
  std::span<const float> nodes_;
  std::size_t count_;
  std::size_t cells_;
};

void hand_out_arrivals(BuildScratch& s, std::span<const float> nodes,
                       const ForEachRange& for_each_part) {
  ArrivalHandout handout(s, nodes);
  for_each_part(ArrivalHandout::parts, [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      handout.count(part);
    }
  });
  handout.place();
  for_each_part(ArrivalHandout::parts, [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      handout.write(part);
    }
  });
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

// Cells this tree does not have give back what they held for an earlier one.
// Any other idle cell gave it back when it fell idle, so only the tree
// before's cells are looked at, not the thousands of cell numbers.
void release_idle_cells(BuildScratch& s) {
  std::vector<std::uint8_t> active(s.cells.size(), 0);
  for (const std::uint32_t c : s.cell_order) {
    active[c] = 1;
  }
  for (const std::uint32_t c : s.previous_cells) {
    if (c < s.cells.size() && active[c] == 0 &&
        s.cells[c].regions.capacity() > quadtree::max_idle_room) {
      CellRegions().swap(s.cells[c].regions);
      s.cells[c].regions_touched = 0;
      decltype(Cell::arrivals)().swap(s.cells[c].arrivals);
      decltype(Cell::bodies)().swap(s.cells[c].bodies);
    }
  }
}

}  // namespace

namespace quadtree {

void route_to_cells(std::span<const float> nodes, BuildScratch& s,
                    const ForEachRange& for_each_part) {
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
  const std::size_t base = cell_depth_for(count, s.cell_depth);
  const std::size_t numbers = cell_number(base + max_extra_cell_depth + 1, 0);
  if (s.cells.size() != numbers) {
    s.cells.resize(numbers);
    s.deeper.assign(numbers, 0);
  }
  std::swap(s.previous_cells, s.cell_order);
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
  hand_out_arrivals(s, nodes, for_each_part);
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

}  // namespace quadtree
}  // namespace tallow
