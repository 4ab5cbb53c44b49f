"""Fast, deterministic ForceAtlas2 graph layouts."""

from tallow_forceatlas2._native import layout_raw

__all__ = ["layout_raw"]
