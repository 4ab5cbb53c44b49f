#include "hierarchy.hpp"

#include <optional>
#include <utility>

#include "fatal.hpp"
#include "matching.hpp"

namespace tallow {
namespace {

CoarseLevel coarse_level(MergedGroups merged, std::span<const double> finer_mass) {
  CoarseLevel level{std::move(merged.parent), std::move(merged.rows), {}};
  level.mass.assign(level.rows.node_count(), 0.0);
  for (std::size_t v = 0; v < level.parent.size(); ++v) {
    level.mass[level.parent[v]] += finer_mass[v];
  }
  return level;
}

// Members of one node share its label, so any member's will do.
std::vector<std::uint32_t> coarse_labels(const CoarseLevel& level,
                                         std::span<const std::uint32_t> label) {
  std::vector<std::uint32_t> coarse(level.rows.node_count());
  for (std::size_t v = 0; v < level.parent.size(); ++v) {
    coarse[level.parent[v]] = label[v];
  }
  return coarse;
}

// The finest graph with its nodes renumbered community by community.
struct GroupedGraph {
  WeightedRows rows;
  std::vector<double> mass;
  std::vector<std::uint32_t> label;
  std::vector<std::uint32_t> new_index;  // of every input node
};

// Matching and merging look up a neighbour's state at every edge end; with
// each community's nodes side by side, most of those lookups (every edge
// inside a community) stay within a few cache-sized blocks instead of
// landing anywhere in memory. Coarser levels, numbered in finer node order,
// inherit the grouping. One pass over the edges.
GroupedGraph grouped_by_label(const WeightedRows& rows, std::span<const double> mass,
                              std::vector<std::uint32_t> label) {
  const std::uint32_t n = rows.node_count();
  std::vector<std::uint64_t> start(std::size_t{n} + 1, 0);
  for (const std::uint32_t l : label) {
    ++start[l + std::size_t{1}];
  }
  for (std::size_t l = 1; l < start.size(); ++l) {
    start[l] += start[l - 1];
  }
  GroupedGraph grouped;
  grouped.new_index.resize(n);
  std::vector<std::uint32_t> order(n);
  for (std::uint32_t v = 0; v < n; ++v) {
    const auto slot = static_cast<std::uint32_t>(start[label[v]]++);
    grouped.new_index[v] = slot;
    order[slot] = v;
  }
  WeightedRows& out = grouped.rows;
  out.offsets.assign(std::size_t{n} + 1, 0);
  out.neighbours.reserve(rows.neighbours.size());
  out.weights.reserve(rows.weights.size());
  grouped.mass.resize(n);
  grouped.label.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t v = order[i];
    for (std::uint64_t e = rows.offsets[v]; e < rows.offsets[v + 1]; ++e) {
      out.neighbours.push_back(grouped.new_index[rows.neighbours[e]]);
      out.weights.push_back(rows.weights[e]);
    }
    out.offsets[i + std::size_t{1}] = out.neighbours.size();
    grouped.mass[i] = mass[v];
    grouped.label[i] = label[v];
  }
  return grouped;
}

}  // namespace

std::vector<CoarseLevel> build_hierarchy(const WeightedRows& finest, std::span<const double> mass,
                                         const HierarchyOptions& options, std::uint64_t seed) {
  if (mass.size() != finest.node_count()) {
    fatal("build_hierarchy: one mass per node needed");
  }
  std::vector<CoarseLevel> levels;
  SeededStream stream(seed);
  if (finest.node_count() <= options.coarsest_nodes) {
    return levels;
  }
  GroupedGraph grouped = grouped_by_label(
      finest, mass, louvain_communities(finest, options.communities, stream.next()));
  std::optional<std::vector<std::uint32_t>> label = std::move(grouped.label);
  const auto current_rows = [&]() -> const WeightedRows& {
    return levels.empty() ? grouped.rows : levels.back().rows;
  };
  const auto current_mass = [&]() -> std::span<const double> {
    return levels.empty() ? std::span<const double>(grouped.mass)
                          : std::span<const double>(levels.back().mass);
  };
  // The first coarse level's parents are looked up by input node.
  const auto push = [&](CoarseLevel level) {
    if (levels.empty()) {
      std::vector<std::uint32_t> parent(level.parent.size());
      for (std::size_t v = 0; v < parent.size(); ++v) {
        parent[v] = level.parent[grouped.new_index[v]];
      }
      level.parent = std::move(parent);
    }
    levels.push_back(std::move(level));
  };
  // Merges every community into one node and lets matching cross them from
  // then on; merging them piece by piece would scatter their pieces.
  const auto merge_communities = [&]() {
    const std::uint32_t before = current_rows().node_count();
    CoarseLevel whole =
        coarse_level(merge_groups(current_rows(), *label, RowOrder::sorted), current_mass());
    label.reset();
    if (whole.rows.node_count() < before) {
      push(std::move(whole));
    }
  };
  while (current_rows().node_count() > options.coarsest_nodes) {
    const WeightedRows& rows = current_rows();
    const std::span<const std::uint32_t> inside =
        label ? std::span<const std::uint32_t>(*label) : std::span<const std::uint32_t>();
    const std::vector<std::uint32_t> group =
        matched_groups(rows, current_mass(), inside, stream.next(), options.matching_rounds);
    CoarseLevel coarser =
        coarse_level(merge_groups(rows, group, RowOrder::sorted), current_mass());
    if (static_cast<double>(coarser.rows.node_count()) >
        options.min_reduction * static_cast<double>(rows.node_count())) {
      if (!label) {
        break;
      }
      merge_communities();
      continue;
    }
    if (label) {
      label = coarse_labels(coarser, *label);
    }
    push(std::move(coarser));
  }
  if (label) {
    // Coarse enough while still inside communities: the coarsest layout then
    // places whole communities; pieces of one, placed apart there, would stay
    // apart as separate blobs to the end.
    merge_communities();
  }
  return levels;
}

}  // namespace tallow
