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

}  // namespace

std::vector<CoarseLevel> build_hierarchy(const WeightedRows& finest, std::span<const double> mass,
                                         const HierarchyOptions& options, std::uint64_t seed) {
  if (mass.size() != finest.node_count()) {
    fatal("build_hierarchy: one mass per node needed");
  }
  std::vector<CoarseLevel> levels;
  SeededStream stream(seed);
  std::optional<std::vector<std::uint32_t>> label;
  if (finest.node_count() > options.coarsest_nodes) {
    label = louvain_communities(finest, options.communities, stream.next());
  }
  const auto current_rows = [&]() -> const WeightedRows& {
    return levels.empty() ? finest : levels.back().rows;
  };
  const auto current_mass = [&]() -> std::span<const double> {
    return levels.empty() ? mass : std::span<const double>(levels.back().mass);
  };
  // Merges every community into one node and lets matching cross them from
  // then on; merging them piece by piece would scatter their pieces.
  const auto merge_communities = [&]() {
    const std::uint32_t before = current_rows().node_count();
    CoarseLevel whole =
        coarse_level(merge_groups(current_rows(), *label, RowOrder::sorted), current_mass());
    label.reset();
    if (whole.rows.node_count() < before) {
      levels.push_back(std::move(whole));
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
    levels.push_back(std::move(coarser));
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
