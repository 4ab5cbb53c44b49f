"""Node colours, one rule for pictures and graph files alike.

Nodes are coloured by community when there are communities (the largest
first, in the order of ``COMMUNITY_COLOURS``; nodes without one grey), else
by degree on the viridis scale (log-scaled, dark blue for leaves to yellow
for the largest hub). matplotlib pictures, datashader legends and the
colours written to GEXF and GraphML all come from here, so a file opened in
Gephi looks like the picture; nothing here needs matplotlib.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Hashable, Sequence

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "COMMUNITY_COLOURS",
    "UNASSIGNED_COLOUR",
    "degree_colours",
    "hex_rgb",
    "node_colours",
    "ranked_communities",
]

# The twenty colours of matplotlib's "tab20" reordered so that neighbouring
# communities (largest first) get clearly different hues.
COMMUNITY_COLOURS = (
    "#1f77b4",
    "#ff7f0e",
    "#2ca02c",
    "#d62728",
    "#9467bd",
    "#8c564b",
    "#e377c2",
    "#17becf",
    "#bcbd22",
    "#7f7f7f",
    "#aec7e8",
    "#ffbb78",
    "#98df8a",
    "#ff9896",
    "#c5b0d5",
    "#c49c94",
    "#f7b6d2",
    "#9edae5",
    "#dbdb8d",
    "#c7c7c7",
)
UNASSIGNED_COLOUR = "#b0b0b0"
# matplotlib's viridis at 17 evenly spaced points; linear between them it
# stays within 5/255 of the full table.
_VIRIDIS = (
    "#440154", "#48186a", "#472d7b", "#424086", "#3b528b", "#33638d", "#2c728e", "#26828e",
    "#21918c", "#1fa088", "#28ae80", "#3fbc73", "#5ec962", "#84d44b", "#addc30", "#d8e219",
    "#fde725",
)  # fmt: skip
# The darkest and brightest ends of viridis are left out: nearly black
# leaves would vanish among the edges, and the brightest yellow on white.
_SHADE_START, _SHADE_SPAN = 0.1, 0.85


def hex_rgb(colour: str) -> tuple[float, float, float]:
    """``"#rrggbb"`` as red, green and blue from 0 to 1."""
    value = int(colour.lstrip("#"), 16)
    return ((value >> 16) / 255.0, ((value >> 8) & 255) / 255.0, (value & 255) / 255.0)


_VIRIDIS_RGB = np.array([hex_rgb(c) for c in _VIRIDIS])


def degree_colours(degree: NDArray[np.float64], top: float | None = None) -> NDArray[np.float64]:
    """RGBA (0 to 1) of nodes of the given degrees, on the degree scale.

    Parameters
    ----------
    degree : ndarray of float64, shape (n,)
        Node degrees.
    top : float, optional
        The degree given the brightest colour; default: the largest in ``degree``.

    Returns
    -------
    ndarray of float64, shape (n, 4)
    """
    shade = np.log1p(np.asarray(degree, dtype=np.float64))
    if top is not None:
        scale = float(np.log1p(top))
    else:
        scale = float(shade.max()) if len(shade) else 0.0
    scale = scale if scale > 0 else 1.0
    where = _SHADE_START + _SHADE_SPAN * np.clip(shade / scale, 0.0, 1.0)
    stops = np.linspace(0.0, 1.0, len(_VIRIDIS_RGB))
    rgba = np.ones((len(shade), 4))
    for channel in range(3):
        rgba[:, channel] = np.interp(where, stops, _VIRIDIS_RGB[:, channel])
    return rgba


def ranked_communities(communities: Sequence[Hashable]) -> list[tuple[Hashable, int]]:
    """Communities with their node counts, largest first (ties in order of first node);
    ``""`` and None, no community, are left out."""
    counted = Counter(c for c in communities if c is not None and c != "")
    return counted.most_common()


def node_colours(
    degree: NDArray[np.float64], communities: Sequence[Hashable] | None
) -> NDArray[np.float64]:
    """RGBA (0 to 1) of every node: by community when given, else by degree.

    Parameters
    ----------
    degree : ndarray of float64, shape (n,)
        Node degrees.
    communities : sequence, optional
        A community label per node (``""`` or None for none).

    Returns
    -------
    ndarray of float64, shape (n, 4)
    """
    if communities is None:
        return degree_colours(degree)
    palette = {
        c: hex_rgb(COMMUNITY_COLOURS[i % len(COMMUNITY_COLOURS)])
        for i, (c, _) in enumerate(ranked_communities(communities))
    }
    grey = hex_rgb(UNASSIGNED_COLOUR)
    rgb = np.array([palette.get(c, grey) for c in communities], dtype=np.float64)
    return np.concatenate([rgb.reshape(-1, 3), np.ones((len(rgb), 1))], axis=1)
