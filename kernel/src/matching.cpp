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

// Every node's best neighbour among the allowed ones, no_node for none.
// Only free nodes (no partner yet) choose and are chosen.
std::vector<std::uint32_t> best_neighbours(const WeightedRows& rows, std::span<const double> mass,
                                           std::span<const std::uint32_t> label,
                                           std::span<const std::uint32_t> partner,
                                           std::uint64_t seed) {
  const std::uint32_t n = rows.node_count();
  std::vector<std::uint32_t> best(n, no_node);
  for (std::uint32_t v = 0; v < n; ++v) {
    if (partner[v] != no_node) {
      continue;
    }
    double best_score = -1.0;
    std::uint64_t best_key = 0;
    for (std::uint64_t e = rows.offsets[v]; e < rows.offsets[v + 1]; ++e) {
      prefetch_ahead(partner.data(), rows.neighbours, e);
      prefetch_ahead(mass.data(), rows.neighbours, e);
      const std::uint32_t u = rows.neighbours[e];
      if (partner[u] != no_node || (!label.empty() && label[u] != label[v])) {
        continue;
      }
      // The product in edge order (smaller index first): both ends see one score.
      const double product = v < u ? mass[v] * mass[u] : mass[u] * mass[v];
      const double score = rows.weights[e] / product;
      const std::uint64_t key = tie_key(seed, u, v);
      if (score > best_score || (score == best_score && key > best_key)) {
        best[v] = u;
        best_score = score;
        best_key = key;
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
  std::vector<std::uint32_t> partner(n, no_node);
  std::vector<std::uint32_t> first_choice;
  for (std::uint32_t round = 0; round < rounds; ++round) {
    const std::vector<std::uint32_t> best = best_neighbours(rows, mass, label, partner, seed);
    if (round == 0) {
      first_choice = best;
    }
    bool matched = false;
    for (std::uint32_t v = 0; v < n; ++v) {
      if (best[v] != no_node && best[best[v]] == v) {
        partner[v] = best[v];
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
