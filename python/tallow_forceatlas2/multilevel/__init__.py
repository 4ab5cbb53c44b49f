"""Multilevel ForceAtlas2: coarsen the graph, lay out the coarsest, refine upwards.

``multilevel_layout`` takes the arrays of ``inputs.graph_arrays`` and the
kernel's settings dictionary and returns positions like ``layout_raw``.
"""

from __future__ import annotations

from tallow_forceatlas2.multilevel.coarsen import Level, finest_level, hierarchy
from tallow_forceatlas2.multilevel.run import RECOMMENDED_SETTINGS, multilevel_layout

__all__ = [
    "RECOMMENDED_SETTINGS",
    "Level",
    "finest_level",
    "hierarchy",
    "multilevel_layout",
]
