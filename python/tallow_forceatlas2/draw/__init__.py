"""Drawing helpers: a picture frame robust to outliers and packing of connected components."""

from __future__ import annotations

from tallow_forceatlas2.draw.components import connected_components, pack_components
from tallow_forceatlas2.draw.frame import Frame, robust_frame

__all__ = ["Frame", "connected_components", "pack_components", "robust_frame"]
