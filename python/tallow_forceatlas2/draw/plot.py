"""Pictures of a layout with matplotlib: translucent edges, nodes sized by degree.

Nodes are coloured by community when communities are given, otherwise by
degree, with a legend saying which; small graphs get node labels. The frame
fits the bulk of the layout: a few far outliers are drawn at its edge (see
:mod:`tallow_forceatlas2.draw.frame`). Only matplotlib's object-oriented API
is used (no pyplot), so drawing works without a display and never changes the
user's pyplot state.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.colours import (
    COMMUNITY_COLOURS,
    degree_colours,
    node_colours,
    ranked_communities,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = [
    "COMMUNITY_COLOURS",
    "LABELS_UP_TO",
    "LEGEND_ENTRIES",
    "PICTURE_FORMATS",
    "draw_layout",
    "save_picture",
]

PICTURE_FORMATS = (".png", ".svg", ".pdf")
# Graphs up to this many nodes get their labels drawn by default; beyond,
# labels cover each other and the graph.
LABELS_UP_TO = 100
# Communities named in the legend; the rest are summed up in one entry.
LEGEND_ENTRIES = 12


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            "drawing needs matplotlib: pip install 'tallow_forceatlas2[plot]'"
        ) from exc


def draw_layout(
    ax: Axes,
    edges: NDArray[np.integer],
    positions: NDArray[np.float64],
    *,
    communities: Sequence[Hashable] | None = None,
    node_scale: float = 1.0,
    node_sizes: NDArray[np.float64] | None = None,
    edge_alpha: float | None = None,
    labels: Sequence[object] | None = None,
    legend: bool = True,
) -> Axes:
    """Draw a laid-out graph into matplotlib axes.

    Parameters
    ----------
    ax : matplotlib Axes
        Where to draw; its aspect is set equal and its frame hidden.
    edges : ndarray of int, shape (m, 2)
        Node indices of every edge.
    positions : ndarray of float64, shape (n, 2)
        Node positions, as returned by :func:`tallow_forceatlas2.layout`.
    communities : sequence, optional
        A community label per node (``""`` or None for none); default:
        colour by degree.
    node_scale : float, default 1.0
        Multiplies every node's area.
    node_sizes : ndarray of float64, shape (n,), optional
        Node radii in layout units (the sizes the layout kept apart): nodes
        are then drawn as discs of those radii, to scale with the positions.
    edge_alpha : float, optional
        Opacity of the edges; default: lower for denser graphs.
    labels : sequence, optional
        Text drawn beside each node (e.g. the node names); default: none.
    legend : bool, default True
        Explain the colours: the largest communities, or the degree scale.

    Returns
    -------
    matplotlib Axes
        ``ax``.
    """
    from matplotlib.collections import LineCollection

    from tallow_forceatlas2.draw.frame import robust_frame

    frame = robust_frame(positions)
    positions = frame.positions
    n = len(positions)
    edges = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    degree = np.bincount(edges.ravel(), minlength=n).astype(np.float64)
    colours = node_colours(degree, communities)
    if edge_alpha is None:
        edge_alpha = float(np.clip(12.0 / np.sqrt(max(len(edges), 1)), 0.04, 0.5))
    if len(edges):
        segments = positions[edges]
        edge_colours = colours[edges[:, 0]].copy()
        edge_colours[:, 3] = edge_alpha
        lines = LineCollection(
            cast("Sequence[NDArray[np.float64]]", segments),  # (m, 2, 2): m segments
            colors=edge_colours,
            linewidths=0.4,
            zorder=1,
        )
        ax.add_collection(lines)
    # A dot's area grows with the degree, so hubs stand out; the unit area
    # shrinks as graphs grow, so large graphs do not drown in ink.
    base = node_scale * float(np.clip(3000.0 / max(n, 1), 0.3, 30.0))
    sizes = base * (1.0 + degree)
    order = np.argsort(degree, kind="stable")
    if n and node_sizes is not None:
        from matplotlib.collections import EllipseCollection

        diameters = 2.0 * np.asarray(node_sizes, dtype=np.float64)[order]
        discs = EllipseCollection(
            diameters,
            diameters,
            np.zeros(n),
            units="xy",
            offsets=positions[order],
            offset_transform=ax.transData,
            facecolors=colours[order],
            linewidths=0,
            zorder=2,
        )
        ax.add_collection(discs)
        reach = positions[:, None, :] + np.asarray(node_sizes)[:, None, None] * [[1, 1], [-1, -1]]
        ax.update_datalim(reach.reshape(-1, 2))
        ax.autoscale_view()
    elif n:
        ax.scatter(
            positions[order, 0],
            positions[order, 1],
            s=sizes[order],
            c=colours[order],
            linewidths=0,
            zorder=2,
        )
        ax.update_datalim(positions)
        ax.autoscale_view()
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_axis_off()
    if frame.outliers.any():
        _mark_outliers(ax, positions[frame.outliers])
    if labels is not None:
        ax.margins(0.08)  # room for the labels of the outermost nodes
        ax.autoscale_view()
        _draw_labels(ax, positions, labels, degree)
    if legend and n:
        _draw_legend(ax, degree, communities, colours)
    return ax


def _mark_outliers(ax: Axes, moved: NDArray[np.float64]) -> None:
    ax.scatter(moved[:, 0], moved[:, 1], s=30, marker="x", c="#555555", linewidths=1, zorder=3)
    count = len(moved)
    ax.text(
        0.01,
        0.01,
        f"x: {count} far node{'s' if count > 1 else ''} drawn at the frame's edge",
        transform=ax.transAxes,
        fontsize=7,
        color="#555555",
    )


def _draw_labels(
    ax: Axes, positions: NDArray[np.float64], labels: Sequence[object], degree: NDArray[np.float64]
) -> None:
    # Fewer nodes leave room for larger text.
    size = float(np.clip(160.0 / np.sqrt(max(len(positions), 1)), 5.0, 8.0))
    for (x, y), label in zip(positions.tolist(), labels):
        ax.annotate(
            str(label),
            (x, y),
            xytext=(3, 3),
            textcoords="offset points",
            fontsize=size,
            color="#222222",
            zorder=4,
        )


def _draw_legend(
    ax: Axes,
    degree: NDArray[np.float64],
    communities: Sequence[Hashable] | None,
    colours: NDArray[np.float64],
) -> None:
    from matplotlib.lines import Line2D

    def dot(colour: Any, text: str) -> Line2D:
        return Line2D([], [], marker="o", linestyle="", color=colour, markersize=6, label=text)

    if communities is not None:
        counted = ranked_communities(communities)
        first = {c: i for i, c in reversed(list(enumerate(communities)))}
        handles = [dot(colours[first[c]], f"{c} ({k})") for c, k in counted[:LEGEND_ENTRIES]]
        rest = len(counted) - LEGEND_ENTRIES
        if rest > 0:
            handles.append(dot("#ffffff", f"{rest} more communities"))
        title = "community (nodes)"
    else:
        top = int(degree.max())
        steps = sorted({int(v) for v in np.unique(np.geomspace(1, max(top, 1), 4).round())})
        steps = [v for v in steps if v <= top] or [0]
        shades = degree_colours(np.array(steps, dtype=np.float64), top=float(degree.max()))
        handles = [dot(tuple(shade), f"{v}") for shade, v in zip(shades.tolist(), steps)]
        title = "degree"
    ax.legend(
        handles=handles,
        title=title,
        loc="upper right",
        fontsize=7,
        title_fontsize=7,
        framealpha=0.85,
    )


def save_picture(
    path: Path,
    edges: NDArray[np.integer],
    positions: NDArray[np.float64],
    *,
    communities: Sequence[Hashable] | None = None,
    node_sizes: NDArray[np.float64] | None = None,
    width: int = 1600,
    height: int = 1600,
    dpi: int = 200,
    labels: Sequence[object] | None = None,
) -> None:
    """Draw a laid-out graph and save it as PNG, SVG or PDF.

    Parameters
    ----------
    path : Path
        The file; its extension (``.png``, ``.svg``, ``.pdf``) picks the format.
    edges, positions, communities, node_sizes, labels
        As for :func:`draw_layout`.
    width, height : int, default 1600
        Size of the picture in pixels (at ``dpi`` for SVG and PDF).
    dpi : int, default 200
        Pixels per inch.

    Raises
    ------
    ModuleNotFoundError
        When matplotlib is not installed.
    OSError
        When the file cannot be written.
    """
    _require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, facecolor="white")
    FigureCanvasAgg(figure)
    ax = figure.add_axes((0.02, 0.02, 0.96, 0.96))
    draw_layout(ax, edges, positions, communities=communities, node_sizes=node_sizes, labels=labels)
    figure.savefig(path, dpi=dpi, facecolor="white")
