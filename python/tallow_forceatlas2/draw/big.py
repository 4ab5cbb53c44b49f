"""Pictures of big graphs with datashader: points and edges aggregated to pixels.

matplotlib draws every marker and segment as a vector object, which at a
million nodes and ten million edges takes minutes and gigabytes. datashader
counts, per pixel, the edges crossing it and the nodes in it, and shades the
counts on a logarithmic scale, so time and memory grow with the graph's size
in a few passes of NumPy/numba. Optional: ``pip install 'tallow_forceatlas2[bigplot]'``.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.draw.frame import robust_frame
from tallow_forceatlas2.draw.plot import COMMUNITY_COLOURS

__all__ = ["BIG_PICTURE_NODES", "have_datashader", "save_big_picture"]

# From this many nodes the command line draws with datashader when it is
# installed: matplotlib takes over a minute from about there.
BIG_PICTURE_NODES = 200_000

# The ten largest communities get the first ten community colours of the
# matplotlib pictures, so both kinds of picture agree.
_COLOURS = COMMUNITY_COLOURS[:10]


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
        A community per node: the ten largest get colours, the rest grey.
    width, height : int, default 1600
        Size in pixels.

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
        layers.append(
            tf.spread(tf.shade(counts, cmap=["#3b528b", "#21918c", "#fde725"], how="eq_hist"))
        )
    else:
        ranked = [c for c, _ in Counter(communities).most_common(len(_COLOURS)) if c != ""]
        colour_of = {str(c): _COLOURS[i] for i, c in enumerate(ranked)}
        names = [str(c) if str(c) in colour_of else "other" for c in communities]
        nodes["community"] = pd.Categorical(names)
        counts = canvas.points(nodes, "x", "y", agg=ds.count_cat("community"))
        keys = {name: colour_of.get(name, "#9a9a9a") for name in nodes["community"].cat.categories}
        # Spread one pixel: single-pixel nodes vanish under the edges.
        layers.append(tf.spread(tf.shade(counts, color_key=keys, how="eq_hist", min_alpha=160)))
    image = tf.set_background(tf.stack(*layers), "white")
    image.to_pil().save(str(path), format="PNG")
