"""An interactive view of a layout: one self-contained HTML file for any browser.

The page draws the nodes and edges with WebGL (a 2-D canvas where WebGL is
missing), pans and zooms with mouse, touch and keyboard, shows a node's
label and attributes on hover, finds and centres a node by label, colours by
community, degree or any attribute with a legend, draws node sizes to scale,
hides and shows the edges, and rotates layouts of three dimensions. It needs
no network and no server: the viewer's script (``html_viewer.js``, shipped
with the package) and the data are inside the file, the arrays as base64
float32/uint32/uint8, about 5.3 bytes per coordinate and per edge, so a
million nodes and ten million edges take about 90 MB.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Mapping, Sequence
from pathlib import Path
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tallow_forceatlas2.draw.frame import robust_frame
from tallow_forceatlas2.draw.html_page import write_page
from tallow_forceatlas2.draw.html_schemes import (
    ColourScheme,
    category_scheme,
    degree_scheme,
    scheme_for_values,
)

__all__ = ["HTML_FORMATS", "MAX_HTML_EDGES", "to_html"]

HTML_FORMATS = (".html", ".htm")
# Beyond this many edges the page gets an even sample of them (the page says
# so): ten million edges take 53 MB of page and 80 MB of graphics memory.
MAX_HTML_EDGES = 10_000_000


def _positions(positions: ArrayLike) -> NDArray[np.float64]:
    points = np.asarray(positions)
    if points.dtype.kind not in "iuf":
        raise TypeError(f"positions must be numbers, not {points.dtype}")
    if points.ndim != 2 or points.shape[1] not in (2, 3):
        raise ValueError(f"positions must have shape (n, 2) or (n, 3), not {points.shape}")
    points = points.astype(np.float64)
    if not np.isfinite(points).all():
        raise ValueError("positions must be finite (found NaN or infinity)")
    return points


def _edges(edges: ArrayLike | None, n: int) -> NDArray[np.int64]:
    if edges is None:
        return np.empty((0, 2), dtype=np.int64)
    pairs = np.asarray(edges)
    if pairs.size == 0:
        return np.empty((0, 2), dtype=np.int64)
    if pairs.dtype.kind not in "iu":
        raise TypeError(f"edges must be integer node indices, not {pairs.dtype}")
    if pairs.ndim != 2 or pairs.shape[1] != 2:
        raise ValueError(f"edges must have shape (m, 2), not {pairs.shape}")
    pairs = pairs.astype(np.int64)
    if pairs.min() < 0 or pairs.max() >= n:
        raise ValueError(
            f"edges must hold node indices in [0, {n}), found {pairs.min()}..{pairs.max()}"
        )
    return pairs


def _per_node(name: str, values: Sequence[Any] | NDArray[Any], n: int) -> Sequence[Any]:
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{name} must be a sequence with one value per node")
    if len(values) != n:
        raise ValueError(f"{name} has {len(values)} values for {n} nodes")
    return cast("Sequence[Any]", values)


def _radii(node_sizes: ArrayLike, n: int) -> NDArray[np.float64]:
    sizes = np.asarray(node_sizes)
    if sizes.dtype.kind not in "iuf":
        raise TypeError(f"node_sizes must be numbers, not {sizes.dtype}")
    sizes = sizes.astype(np.float64)
    if sizes.shape != (n,):
        raise ValueError(f"node_sizes must have shape ({n},), not {sizes.shape}")
    if not (np.isfinite(sizes).all() and (sizes >= 0).all()):
        raise ValueError("node_sizes must be finite and >= 0")
    return sizes


def _view(points: NDArray[np.float64]) -> tuple[NDArray[np.float64], float]:
    """Centre and radius of what the page shows first: the bulk of the layout."""
    if len(points) == 0:
        return np.zeros(points.shape[1]), 1.0
    if points.shape[1] == 2:
        framed = robust_frame(points).positions
        low, high = framed.min(axis=0), framed.max(axis=0)
        centre = (low + high) / 2
        radius = float((high - low).max()) / 2
    else:
        centre = np.median(points, axis=0)
        reach = np.linalg.norm(points - centre, axis=1)
        radius = min(float(reach.max()), 1.5 * float(np.quantile(reach, 0.98)))
    scale = float(np.abs(points).max())
    return centre, max(radius * 1.08, 1e-9 * max(scale, 1.0), 1e-30)


def _json_value(value: Any) -> Any:
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    return str(value)


def _edge_sample(pairs: NDArray[np.int64], max_edges: int) -> NDArray[np.int64]:
    if len(pairs) <= max_edges:
        return pairs
    keep = np.random.default_rng(0).choice(len(pairs), size=max_edges, replace=False)
    return pairs[np.sort(keep)]


def _schemes(
    degree: NDArray[np.float64],
    communities: Sequence[Hashable] | None,
    attributes: Mapping[str, Sequence[Any]],
    color_by: str | None,
) -> list[ColourScheme]:
    schemes = []
    if communities is not None:
        schemes.append(category_scheme("community", list(communities)))
    schemes.append(degree_scheme(degree))
    schemes += [scheme_for_values(name, values) for name, values in attributes.items()]
    names = [scheme.name for scheme in schemes]
    if color_by is None:
        return schemes
    if color_by not in names:
        raise ValueError(f"color_by must be one of {names}, not {color_by!r}")
    first = names.index(color_by)
    return [schemes[first]] + schemes[:first] + schemes[first + 1 :]


def to_html(
    path: str | Path,
    positions: ArrayLike,
    edges: ArrayLike | None = None,
    *,
    labels: Sequence[object] | None = None,
    communities: Sequence[Hashable] | None = None,
    attributes: Mapping[str, Sequence[Any]] | None = None,
    color_by: str | None = None,
    node_sizes: ArrayLike | None = None,
    title: str | None = None,
    max_edges: int = MAX_HTML_EDGES,
) -> None:
    """Write a laid-out graph as an interactive, self-contained HTML page.

    Parameters
    ----------
    path : str or Path
        The HTML file to write.
    positions : array_like, shape (n, 2) or (n, 3)
        Node positions, as returned by :func:`tallow_forceatlas2.layout`;
        three columns give a view that rotates.
    edges : array_like of int, shape (m, 2), optional
        Node indices of every edge.
    labels : sequence, optional
        A name per node, shown on hover and found by the search box;
        default: the node's index.
    communities : sequence, optional
        A community per node (``""`` or None for none): the first colouring,
        with the colours of the static pictures.
    attributes : mapping of str to sequence, optional
        More values per node (None where a node has none), shown on hover;
        each is also offered as a colouring: a colour scale for numbers,
        categories otherwise.
    color_by : str, optional
        The colouring shown first: ``"community"``, ``"degree"`` or an
        attribute's name; default: community when given, else degree.
    node_sizes : array_like of float, shape (n,), optional
        Node radii in layout units, drawn to scale (at least two pixels);
        default: small dots, larger for hubs.
    title : str, optional
        The page's title; default: the file's name without extension.
    max_edges : int, default 10,000,000
        At most this many edges are drawn, an even random sample beyond
        (the page says how many it shows).

    Raises
    ------
    TypeError, ValueError
        For input of the wrong type, shape or range.
    OSError
        When the file cannot be written.
    """
    path = Path(path)
    points = _positions(positions)
    n = len(points)
    pairs = _edges(edges, n)
    if isinstance(max_edges, bool) or not isinstance(max_edges, (int, np.integer)):
        raise TypeError(f"max_edges must be an int, not {type(max_edges).__name__}")
    if max_edges < 0:
        raise ValueError(f"max_edges must be >= 0, not {max_edges}")
    names = [
        str(label) for label in (range(n) if labels is None else _per_node("labels", labels, n))
    ]
    extra = {str(k): _per_node(f"attributes[{k!r}]", v, n) for k, v in (attributes or {}).items()}
    taken = {"community", "degree"} & set(extra)
    if taken:
        raise ValueError(f"attribute name {min(taken)!r} is taken by the page; rename it")
    if communities is not None:
        communities = _per_node("communities", communities, n)
    degree = np.bincount(pairs.ravel(), minlength=n).astype(np.float64)
    centre, radius = _view(points)
    radii = None if node_sizes is None else _radii(node_sizes, n)
    if radii is not None and n:
        radius += float(radii.max())  # whole nodes at the frame's edge
    schemes = _schemes(degree, communities, extra, color_by)
    shown = _edge_sample(pairs, int(max_edges))
    meta = {
        "title": path.stem if title is None else str(title),
        "n": n,
        "dim": points.shape[1],
        "edges_total": len(pairs),
        "labels": names,
        "attributes": _hover_values(communities, degree, extra),
        "view": {"center": [0.0] * points.shape[1], "radius": radius},
        # Without sizes the page sizes nodes from their degree (saving the
        # page 5 bytes a node): this unit times sqrt(1 + log(1 + degree)), a
        # fraction of the spacing of evenly spread nodes.
        "radius_unit": radius / (3.0 * math.sqrt(max(n, 1))),
        "schemes": [{"name": s.name, "palette": s.palette, "legend": s.legend} for s in schemes],
    }
    write_page(path, str(meta["title"]), meta, _blobs(points - centre, shown, radii, schemes))


def _hover_values(
    communities: Sequence[Hashable] | None,
    degree: NDArray[np.float64],
    extra: Mapping[str, Sequence[Any]],
) -> dict[str, list[Any]]:
    hover: dict[str, list[Any]] = {}
    if communities is not None:
        hover["community"] = [_json_value(c) for c in communities]
    hover["degree"] = [int(d) for d in degree]
    hover.update({k: [_json_value(v) for v in values] for k, values in extra.items()})
    return hover


def _blobs(
    offsets: NDArray[np.float64],
    edges: NDArray[np.int64],
    radii: NDArray[np.float64] | None,
    schemes: Sequence[ColourScheme],
) -> dict[str, NDArray[Any]]:
    """The page's arrays: edges as per-source counts and targets sorted by source."""
    order = np.argsort(edges[:, 0], kind="stable")
    blobs: dict[str, NDArray[Any]] = {
        # Relative to the view's centre, so that float32 keeps the detail of
        # a layout however far from the origin it lies.
        "positions": offsets.astype(np.float32),
        "edge-counts": np.bincount(edges[:, 0], minlength=len(offsets)).astype(np.uint32),
        "edge-targets": edges[order, 1].astype(np.uint32),
    }
    if radii is not None:
        blobs["radii"] = radii.astype(np.float32)
    blobs.update({f"colours-{i}": s.codes for i, s in enumerate(schemes)})
    return blobs
