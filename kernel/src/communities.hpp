// Community labels for the multilevel layout, and merging nodes into groups.
//
// Graphs here are undirected and weighted, held as compressed rows: node v's
// edge ends are [offsets[v], offsets[v + 1]) of `neighbours` and `weights`,
// every edge stored once in each endpoint's row, no self-loops. Node indices
// are u32; weights are f64 and every sum is taken in a fixed order (rows in
// node order, ends in row order), so results depend on the input and the seed
// only. Everything here is single-threaded.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "matrices.hpp"

namespace tallow {

struct WeightedRows {
  std::vector<std::uint64_t> offsets;  // n + 1 entries
  std::vector<std::uint32_t> neighbours;
  std::vector<double> weights;

  std::uint32_t node_count() const noexcept {
    return static_cast<std::uint32_t>(offsets.size() - 1);
  }
};

// The rows of an edge list: each pair (u, v) and weights[i] in u's row and in
// v's, self-loops dropped, parallel edges kept as separate ends. Rows list
// their ends in edge order. An endpoint not below n_nodes or a missing weight
// is the fatal index error. Cost: O(n_nodes + edges), two passes.
WeightedRows rows_from_edges(std::uint32_t n_nodes, std::span<const EdgePair> edges,
                             std::span<const double> weights);

// Every group of nodes merged into one node.
struct MergedGroups {
  // Node v of the finer graph became node parent[v]; merged nodes are numbered
  // 0, 1, ... in increasing order of their group value.
  std::vector<std::uint32_t> parent;
  // The merged graph: ends between two groups summed into one end per pair,
  // ends inside a group dropped.
  WeightedRows rows;
};

// Whether merged rows list their neighbours in increasing order (which
// write_upper_edges needs) or in the order first met (cheaper).
enum class RowOrder { sorted, any };

// Merges the nodes of equal `group` (values below the node count). Each
// merged weight is the sum of its ends in finer node order, then row order.
// Cost: O(n + ends), plus sorting every merged row with RowOrder::sorted.
MergedGroups merge_groups(const WeightedRows& rows, std::span<const std::uint32_t> group,
                          RowOrder order);

// Each undirected edge of sorted rows once, smaller index first, in
// (first, second) order: `pairs` receives the two ends of every edge, `weights`
// its weight. Both must hold exactly rows.neighbours.size() / 2 edges (rows
// without self-loops store every edge twice); a mismatch is fatal.
void write_upper_edges(const WeightedRows& rows, std::span<std::int64_t> pairs,
                       std::span<double> weights);

struct CommunityOptions {
  // Above 1 modularity prefers smaller communities.
  double resolution = 1.0;
  // Local-moving sweeps per pass at most, on each merged graph and on the
  // input graph at the end. The merging passes only need to shrink the graph;
  // the last pass, starting from large labels, puts nodes back into their own
  // community. Purity at 100,000 / 1,000,000 planted-partition nodes,
  // (merging, last) sweeps: (4, 4) 0.993 / 0.988, (2, 4) 0.993 / 0.994,
  // (1, 3) 0.993 / 0.994 in 0.12 / 2.1 CPU-s, (2, 1) 0.968 / 0.940.
  std::uint32_t max_sweeps = 1;
  std::uint32_t refine_sweeps = 3;
  // A pass ends once a sweep moves fewer than this share of the nodes.
  double settled_share = 0.001;
  // Merging rounds at most; they also end once no community merges.
  std::uint32_t max_rounds = 20;
};

// Louvain communities: sequential local moving (nodes visited in index order
// from a start drawn from `seed`; each moves to the neighbouring community of
// largest modularity gain, ties kept by the earlier candidate), then every community
// merged into one node and moved again, until no community merges. The
// labels found are handed back to the input graph for one last local-moving
// pass that mends nodes the first sweeps misplaced. Returns a label per node,
// numbered 0, 1, ... Cost: O(ends) per sweep; merged graphs shrink quickly.
std::vector<std::uint32_t> louvain_communities(const WeightedRows& rows,
                                               const CommunityOptions& options,
                                               std::uint64_t seed);

// Ends read ahead: a node's neighbours are scattered over memory on large
// graphs, and asking for the value an end will need this many ends early
// hides most of the wait for it.
constexpr std::uint64_t read_ahead = 16;

// Asks for `values[index[e + read_ahead]]` early; a hint, never a read.
template <class Value>
inline void prefetch_ahead(const Value* values, const std::vector<std::uint32_t>& index,
                           std::uint64_t e) {
  if (e + read_ahead < index.size()) {
    __builtin_prefetch(values + index[e + read_ahead]);
  }
}

// The seeded stream behind every random choice of the coarsening: splitmix64,
// which passes the usual statistical tests and costs a few operations a draw.
class SeededStream {
 public:
  explicit SeededStream(std::uint64_t seed) noexcept : state_(seed) {}
  std::uint64_t next() noexcept;
  // Uniform below `bound` (> 0); the bias of a modulo is below 2^-32 here.
  std::uint32_t below(std::uint32_t bound) noexcept {
    return static_cast<std::uint32_t>(next() % bound);
  }

 private:
  std::uint64_t state_;
};

// splitmix64's mixing of one value: a hash for seeded tie-breaking.
std::uint64_t mix_bits(std::uint64_t value) noexcept;

}  // namespace tallow
