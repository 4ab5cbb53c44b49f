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

__all__ = ["connected_components", "pack_components"]

# Space between packed components, as a share of the largest one's radius.
GAP = 0.08


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
    """Move every connected component, unchanged in shape, into a compact arrangement.

    The largest component stays where it was; the others, largest first,
    sit side by side on rings around it, just outside its reach.

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
    labels = connected_components(n, edges)
    count = int(labels.max()) + 1
    if count == 1:
        return points
    sizes = np.bincount(labels, minlength=count).astype(np.float64)
    centres = np.stack([np.bincount(labels, points[:, k], count) for k in (0, 1)], 1)
    centres /= sizes[:, None]
    reach = np.hypot(*(points - centres[labels]).T)
    radius = np.zeros(count)
    np.maximum.at(radius, labels, reach)
    # A large component's few stray nodes may overlap its neighbours: its
    # bulk, not its farthest node, sets its room (as for a picture's frame).
    for label in np.flatnonzero(sizes >= MIN_NODES_TO_CLIP).tolist():
        radius[label] = np.quantile(reach[labels == label], QUANTILE)
    # An isolated node still takes room: the spacing of a typical node.
    spacing = float(np.median(radius[radius > 0])) / 4 if (radius > 0).any() else 1.0
    radius = np.maximum(radius, spacing) * (1 + GAP) + GAP * radius[0]
    slots = _ring_slots(radius)
    shift = slots - slots[0] + centres[0] - centres
    packed: NDArray[np.float64] = points + shift[labels]
    return packed


def _ring_slots(radius: NDArray[np.float64]) -> NDArray[np.float64]:
    """Centres of discs of the given radii (largest first): the first at the origin, the
    rest side by side on rings around it, each ring filled before the next starts."""
    slots = np.zeros((len(radius), 2))
    inner = float(radius[0])  # the rings' inner edge
    thickness = angle = 0.0
    for i, r in enumerate(radius[1:].tolist(), start=1):
        centre_distance = inner + r
        needed = 2.0 * np.arcsin(min(1.0, r / centre_distance))
        if angle + needed > 2.0 * np.pi:  # this ring is full: start the next outside it
            inner += 2.0 * thickness
            thickness = angle = 0.0
            centre_distance = inner + r
            needed = 2.0 * np.arcsin(min(1.0, r / centre_distance))
        # Start at the lower right (a picture's legend sits at the upper
        # right) and go round clockwise.
        theta = -np.pi / 4 - (angle + needed / 2)
        slots[i] = (centre_distance * np.cos(theta), centre_distance * np.sin(theta))
        angle += needed
        thickness = max(thickness, r)
    return slots
