// The ForceAtlas2 settings record.
//
// Filled once per call from the caller's settings dictionary, then only read
// (by the calling thread and by every worker at once). Values are kept exactly
// as converted: zero, negative, infinite and NaN values flow into the IEEE
// arithmetic of the phases unchecked. Field names are the dictionary keys.
#pragma once

namespace tallow {

// NOLINTBEGIN(readability-identifier-naming): the fields are the dictionary keys.
struct LayoutSettings {
  bool linLogMode = false;
  bool outboundAttractionDistribution = false;
  bool adjustSizes = false;
  double edgeWeightInfluence = 1.0;
  double scalingRatio = 1.0;
  bool strongGravityMode = false;
  double gravity = 1.0;
  double slowDown = 1.0;
  bool barnesHutOptimize = false;
  double barnesHutTheta = 0.5;
};
// NOLINTEND(readability-identifier-naming)

}  // namespace tallow
