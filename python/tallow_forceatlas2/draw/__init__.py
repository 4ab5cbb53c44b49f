"""Pictures of layouts and the helpers they share.

:mod:`.plot` draws with matplotlib, :mod:`.big` aggregates big graphs to
pixels; exported here are a picture frame robust to outliers, the packing
of connected components side by side and :func:`to_html`, a page to explore
a layout in the browser.
"""

from __future__ import annotations

from tallow_forceatlas2.draw.components import connected_components, pack_components
from tallow_forceatlas2.draw.frame import Frame, robust_frame
from tallow_forceatlas2.draw.html import to_html

__all__ = ["Frame", "connected_components", "pack_components", "robust_frame", "to_html"]
