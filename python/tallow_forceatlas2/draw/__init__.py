"""Pictures of layouts and the helpers they share.

:mod:`.plot` draws with matplotlib, :mod:`.big` aggregates big graphs to
pixels; exported here are a picture frame robust to outliers and the packing
of connected components side by side.
"""

from __future__ import annotations

from tallow_forceatlas2.draw.components import connected_components, pack_components
from tallow_forceatlas2.draw.frame import Frame, robust_frame

__all__ = ["Frame", "connected_components", "pack_components", "robust_frame"]
