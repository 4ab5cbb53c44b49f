"""Pictures of big graphs with datashader: points and edges aggregated to pixels.

matplotlib draws every marker and segment as a vector object, which at a
million nodes and ten million edges takes minutes and gigabytes. datashader
counts, per pixel, the edges crossing it and the nodes in it, and shades the
counts on a logarithmic scale, so time and memory grow with the graph's size
in a few passes of NumPy/numba. Optional: ``pip install 'tallow_forceatlas2[bigplot]'``.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.colours import COMMUNITY_COLOURS, ranked_communities
from tallow_forceatlas2.draw.frame import robust_frame
from tallow_forceatlas2.draw.pixel_legend import LegendEntry, draw_pixel_legend

__all__ = [
    "BIG_PICTURE_NODES",
    "community_legend",
    "density_legend",
    "have_datashader",
    "save_big_picture",
]

# From this many nodes the command line draws with datashader when it is
# installed: matplotlib takes over a minute from about there.
BIG_PICTURE_NODES = 200_000

# The ten largest communities get the first ten community colours of the
# matplotlib pictures, so both kinds of picture agree.
_COLOURS = COMMUNITY_COLOURS[:10]
_OTHER = "#9a9a9a"
# The ramp of node counts per pixel, where there are no communities.
_DENSITY_COLOURS = ("#3b528b", "#21918c", "#fde725")


def have_datashader() -> bool:
    """Whether datashader can be imported."""
    try:
        import datashader  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401
    except ModuleNotFoundError:
        return False
    return True


def _edge_frame(edges: NDArray[np.int64], positions: NDArray[np.float64]) -> Any:
    import pandas as pd  # type: ignore[import-untyped,import-not-found,unused-ignore]

    # One row per edge with both ends: datashader draws each row's segment
    # (its axis=1 line glyph) without separator rows between them.
    points = positions.astype(np.float32)
    return pd.DataFrame(
        {
            "x0": points[edges[:, 0], 0],
            "y0": points[edges[:, 0], 1],
            "x1": points[edges[:, 1], 0],
            "y1": points[edges[:, 1], 1],
        }
    )


def save_big_picture(
    path: Path,
    edges: NDArray[np.integer],
    positions: NDArray[np.float64],
    *,
    communities: Sequence[Hashable] | None = None,
    width: int = 1600,
    height: int = 1600,
    legend: bool = True,
) -> None:
    """Draw a big laid-out graph with datashader and save it as PNG.

    Parameters
    ----------
    path : Path
        The PNG file.
    edges : ndarray of int, shape (m, 2)
        Node indices of every edge.
    positions : ndarray of float64, shape (n, 2)
        The layout; far outliers are pulled in as for matplotlib pictures.
    communities : sequence, optional
        A community per node: the ten largest get colours, the rest grey;
        without, nodes are shaded by how many share a pixel.
    width, height : int, default 1600
        Size in pixels.
    legend : bool, default True
        Say what the colours mean in a box at the upper right: the
        communities with their node counts, else the nodes per pixel.

    Raises
    ------
    ModuleNotFoundError
        Without datashader.
    OSError
        When the file cannot be written.
    """
    import datashader as ds  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import datashader.transfer_functions as tf  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pandas as pd  # type: ignore[import-untyped,import-not-found,unused-ignore]

    points = robust_frame(positions).positions
    pairs = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    low, high = points.min(axis=0), points.max(axis=0)
    span = max(float((high - low).max()), 1e-9)
    middle = (low + high) / 2
    aspect = width / height
    half_x = span / 2 * 1.03 * max(aspect, 1.0)
    half_y = span / 2 * 1.03 * max(1 / aspect, 1.0)
    canvas = ds.Canvas(
        plot_width=width,
        plot_height=height,
        x_range=(middle[0] - half_x, middle[0] + half_x),
        y_range=(middle[1] - half_y, middle[1] + half_y),
    )
    layers = []
    if len(pairs):
        segments = _edge_frame(pairs, points)
        lines = canvas.line(segments, x=["x0", "x1"], y=["y0", "y1"], axis=1, agg=ds.count())
        layers.append(tf.shade(lines, cmap=["#eef1f5", "#6b7a89"], how="log", alpha=110))
    nodes = pd.DataFrame({"x": points[:, 0].astype(np.float32), "y": points[:, 1]})
    if communities is None:
        counts = canvas.points(nodes, "x", "y", agg=ds.count())
        # Spread one pixel: single-pixel nodes vanish under the edges.
        layers.append(tf.spread(tf.shade(counts, cmap=list(_DENSITY_COLOURS), how="eq_hist")))
        title, entries = "nodes per pixel", density_legend(np.asarray(counts.values))
    else:
        ranked = [c for c, _ in ranked_communities(communities)[: len(_COLOURS)]]
        colour_of = {str(c): _COLOURS[i] for i, c in enumerate(ranked)}
        names = [str(c) if str(c) in colour_of else "other" for c in communities]
        nodes["community"] = pd.Categorical(names)
        counts = canvas.points(nodes, "x", "y", agg=ds.count_cat("community"))
        keys = {name: colour_of.get(name, _OTHER) for name in nodes["community"].cat.categories}
        layers.append(tf.spread(tf.shade(counts, color_key=keys, how="eq_hist", min_alpha=160)))
        title, entries = "community (nodes)", community_legend(communities)
    picture = tf.set_background(tf.stack(*layers), "white").to_pil()
    if legend and len(points):
        picture = draw_pixel_legend(picture, title, entries)
    picture.save(str(path), format="PNG")


def community_legend(communities: Sequence[Hashable]) -> list[LegendEntry]:
    """The legend of a big picture's communities: the ten coloured, then the grey rest.

    Parameters
    ----------
    communities : sequence
        A community per node (``""`` or None for none).

    Returns
    -------
    list of (colour, text)
        ``"name (nodes)"`` for each coloured community, largest first, and
        one grey entry for the nodes of all the others and of none.
    """
    ranked = ranked_communities(communities)
    entries = [(_COLOURS[i], f"{c} ({k:,})") for i, (c, k) in enumerate(ranked[: len(_COLOURS)])]
    rest = len(ranked) - len(_COLOURS)
    grey = len(communities) - sum(k for _, k in ranked[: len(_COLOURS)])
    unassigned = len(communities) - sum(k for _, k in ranked)
    parts = [f"{rest} more communities"] if rest > 0 else []
    parts += ["no community"] if unassigned else []
    if parts:
        entries.append((_OTHER, f"{' + '.join(parts)} ({grey:,})"))
    return entries


def density_legend(counts: NDArray[Any]) -> list[LegendEntry]:
    """The legend of nodes shaded by how many share a pixel: the counts at the
    ramp's ends and middle (eq_hist gives each colour a share of the pixels)."""
    filled = counts[counts > 0]
    if not len(filled):
        return []
    levels = np.quantile(filled, [0.0, 0.5, 1.0], method="nearest").tolist()
    # Few distinct counts (1 or 2 nodes per pixel) would repeat a level; the
    # last colour is the top count's.
    entries: dict[int, str] = {}
    for colour, v in zip(_DENSITY_COLOURS, levels):
        entries.setdefault(int(v), colour)
    entries[int(levels[-1])] = _DENSITY_COLOURS[-1]
    return [(colour, f"{v:,}") for v, colour in entries.items()]
