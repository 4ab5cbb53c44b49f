// Which vector path exact repulsion runs. Every path gives the bits of the
// sequential scalar loop; the kernel picks the widest the CPU supports, and
// tests force each narrower one so that every path kept is exercised.
#pragma once

#include <span>

#include "settings.hpp"

namespace tallow {

enum class ExactLanes {
  two,    // one row at a time, two of its pairs at once with SSE2
  four,   // AVX2: sixteen rows in four registers of four, eight columns at once
  eight,  // AVX-512F: sixteen rows in two registers of eight, sixteen columns at once
};

// The widest path this CPU runs.
ExactLanes widest_exact_lanes();

// exact_repulsion() on the given path; a path wider than
// widest_exact_lanes() is a fatal internal error.
void exact_repulsion_on_lanes(ExactLanes lanes, const LayoutSettings& settings,
                              std::span<float> nodes);

}  // namespace tallow
