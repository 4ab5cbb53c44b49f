"""Connected components of a layout, moved rigidly into a tight packing.

ForceAtlas2 places disconnected pieces wherever gravity balances repulsion:
with a few isolated nodes or tiny components they sit far from the main
component and most of a picture is empty. Packing keeps each component's
shape (its nodes' relative positions, to the bit of a translation) and only
changes where the components lie relative to each other, which the layout
does not make meaningful anyway.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.draw.frame import MIN_NODES_TO_CLIP, QUANTILE
from tallow_forceatlas2.draw.shelves import pack_boxes

__all__ = ["connected_components", "pack_components"]

# Room around a packed component, as a share of its box's longer side: half
# of it on each side, so that neighbours stay apart by their mean margin.
GAP = 0.1
# Edges whose lengths give a typical node spacing; more would add nothing.
EDGES_SAMPLED = 100_000


def connected_components(n_nodes: int, edges: NDArray[np.integer]) -> NDArray[np.int64]:
    """Label each node with its connected component, 0 for the largest.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of int, shape (m, 2)
        Node indices of every edge (direction ignored).

    Returns
    -------
    ndarray of int64, shape (n,)
        Component labels, numbered by decreasing size.
    """
    pairs = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    try:
        from scipy.sparse import coo_array  # type: ignore[import-untyped]
        from scipy.sparse.csgraph import connected_components as scipy_components  # type: ignore[import-untyped]
    except ModuleNotFoundError:
        return _ranked(_propagated_labels(n_nodes, pairs))
    ones = np.ones(len(pairs), dtype=np.int8)
    matrix = coo_array((ones, (pairs[:, 0], pairs[:, 1])), shape=(n_nodes, n_nodes))
    _, labels = scipy_components(matrix, directed=False)
    return _ranked(np.asarray(labels, dtype=np.int64))


def _propagated_labels(n_nodes: int, pairs: NDArray[np.int64]) -> NDArray[np.int64]:
    parent = np.arange(n_nodes, dtype=np.int64)
    # Label propagation: every edge pulls both ends to the smaller label,
    # and pointer jumping shortens the chains; a few passes on real graphs.
    while True:
        low = np.minimum(parent[pairs[:, 0]], parent[pairs[:, 1]])
        before = parent.copy()
        np.minimum.at(parent, pairs[:, 0], low)
        np.minimum.at(parent, pairs[:, 1], low)
        parent = parent[parent]
        if np.array_equal(parent, before):
            return parent


def _ranked(components: NDArray[np.int64]) -> NDArray[np.int64]:
    _, labels, counts = np.unique(components, return_inverse=True, return_counts=True)
    rank = np.empty(len(counts), dtype=np.int64)
    rank[np.argsort(-counts, kind="stable")] = np.arange(len(counts))
    return rank[labels.reshape(-1)]


def pack_components(
    edges: NDArray[np.integer], positions: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Move every connected component, unchanged in shape, into a tight packing.

    Each component's bounding box (of its bulk, for components of 50 nodes
    or more, whose few stray nodes should not set its room) grows by a
    margin of ``GAP`` times its longer side, at least a typical edge's
    length; the boxes, tallest first, are packed in shelves
    (:mod:`.shelves`) into about a square. The largest component stays where
    it was and the others move around it.

    Parameters
    ----------
    edges : ndarray of int, shape (m, 2)
        Node indices of every edge.
    positions : ndarray of float64, shape (n, 2)
        A layout of the graph.

    Returns
    -------
    ndarray of float64, shape (n, 2)
        New positions: each component translated as a whole.
    """
    points = np.array(positions, dtype=np.float64).reshape(-1, 2)
    n = len(points)
    if n == 0:
        return points
    pairs = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    labels = connected_components(n, pairs)
    count = int(labels.max()) + 1
    if count == 1:
        return points
    low, high = _component_boxes(points, labels, count)
    extent = high - low
    room = np.maximum(extent, _node_spacing(points, pairs, extent))
    margin = GAP * room.max(axis=1)
    padded = room + margin[:, None]
    # Tallest first (then widest): a shelf is as tall as its first box.
    order = np.lexsort((-padded[:, 0], -padded[:, 1]))
    corners = np.empty_like(padded)
    corners[order] = pack_boxes(padded[order])
    # Centre each component in its padded box.
    shift = corners + (padded - extent) / 2 - low
    packed: NDArray[np.float64] = points + (shift - shift[0])[labels]
    return packed


def _component_boxes(
    points: NDArray[np.float64], labels: NDArray[np.int64], count: int
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Lower-left and upper-right corners of each component's box."""
    low = np.full((count, 2), np.inf)
    high = np.full((count, 2), -np.inf)
    np.minimum.at(low, labels, points)
    np.maximum.at(high, labels, points)
    sizes = np.bincount(labels, minlength=count)
    large = np.flatnonzero(sizes >= MIN_NODES_TO_CLIP)
    if len(large):
        # Nodes sorted by component, so that each large one is a slice.
        order = np.argsort(labels, kind="stable")
        starts = np.concatenate([[0], np.cumsum(sizes)])
        cut = (1.0 - QUANTILE) / 2
        for label in large.tolist():
            members = points[order[starts[label] : starts[label + 1]]]
            low[label], high[label] = np.quantile(members, [cut, 1.0 - cut], axis=0)
    return low, high


def _node_spacing(
    points: NDArray[np.float64], pairs: NDArray[np.int64], extent: NDArray[np.float64]
) -> float:
    """The room a single node takes: the median edge length, else a quarter of the
    median component's extent, else 1."""
    if len(pairs):
        ends = pairs[:EDGES_SAMPLED]
        lengths = np.hypot(*(points[ends[:, 0]] - points[ends[:, 1]]).T)
        spacing = float(np.median(lengths))
        if spacing > 0:
            return spacing
    sides = extent.max(axis=1)
    if (sides > 0).any():
        return float(np.median(sides[sides > 0])) / 4
    return 1.0
