#include "matching.hpp"

#include <limits>

#include "fatal.hpp"

namespace tallow {
namespace {

constexpr std::uint32_t no_node = std::numeric_limits<std::uint32_t>::max();

// The same key from both ends of an edge, so both ends break a tie alike.
std::uint64_t tie_key(std::uint64_t seed, std::uint32_t u, std::uint32_t v) noexcept {
  const std::uint64_t low = u < v ? u : v;
  const std::uint64_t high = u < v ? v : u;
  return mix_bits(seed ^ mix_bits((low << 32) | high));
}

// What matching reads of a neighbour, packed so that one cache line holds
// it all: neighbours lie scattered over memory on large graphs.
struct NodeState {
  double mass;
  std::uint32_t label;    // 0 for all without labels
  std::uint32_t partner;  // no_node while free
};

// Every free node's best free neighbour of its own label, no_node for none.
// Equal scores go to the larger tie key, computed only on a tie.
std::vector<std::uint32_t> best_neighbours(const WeightedRows& rows,
                                           const std::vector<NodeState>& state,
                                           std::uint64_t seed) {
  const std::uint32_t n = rows.node_count();
  std::vector<std::uint32_t> best(n, no_node);
  for (std::uint32_t v = 0; v < n; ++v) {
    const NodeState own = state[v];
    if (own.partner != no_node) {
      continue;
    }
    double best_score = -1.0;
    for (std::uint64_t e = rows.offsets[v]; e < rows.offsets[v + 1]; ++e) {
      prefetch_ahead(state.data(), rows.neighbours, e);
      const std::uint32_t u = rows.neighbours[e];
      const NodeState other = state[u];
      if (other.partner != no_node || other.label != own.label) {
        continue;
      }
      // The product in edge order (smaller index first): both ends see one score.
      const double product = v < u ? own.mass * other.mass : other.mass * own.mass;
      const double score = rows.weights[e] / product;
      if (score > best_score ||
          (score == best_score && tie_key(seed, u, v) > tie_key(seed, best[v], v))) {
        best[v] = u;
        best_score = score;
      }
    }
  }
  return best;
}

}  // namespace

std::vector<std::uint32_t> matched_groups(const WeightedRows& rows, std::span<const double> mass,
                                          std::span<const std::uint32_t> label,
                                          std::uint64_t seed, std::uint32_t rounds) {
  const std::uint32_t n = rows.node_count();
  if (mass.size() != n || (!label.empty() && label.size() != n)) {
    fatal("matched_groups: one mass and at most one label per node needed");
  }
  std::vector<NodeState> state(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    state[v] = NodeState{mass[v], label.empty() ? 0 : label[v], no_node};
  }
  std::vector<std::uint32_t> partner(n, no_node);
  std::vector<std::uint32_t> first_choice;
  for (std::uint32_t round = 0; round < rounds; ++round) {
    const std::vector<std::uint32_t> best = best_neighbours(rows, state, seed);
    if (round == 0) {
      first_choice = best;
    }
    bool matched = false;
    for (std::uint32_t v = 0; v < n; ++v) {
      if (best[v] != no_node && best[best[v]] == v) {
        partner[v] = best[v];
        state[v].partner = best[v];
        matched = true;
      }
    }
    if (!matched) {
      break;
    }
  }
  std::vector<std::uint32_t> group(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    group[v] = partner[v] != no_node && partner[v] < v ? partner[v] : v;
  }
  for (std::uint32_t v = 0; v < n; ++v) {
    const std::uint32_t choice = first_choice.empty() ? no_node : first_choice[v];
    if (partner[v] == no_node && choice != no_node && partner[choice] != no_node) {
      group[v] = group[choice];
    }
  }
  return group;
}

}  // namespace tallow
