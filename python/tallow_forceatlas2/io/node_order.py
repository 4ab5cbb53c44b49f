"""Positions in node order, from an array or from a mapping node -> (x, y).

``layout`` returns an ``(n, 2)`` array and ``forceatlas2_layout`` a dict, so
every writer takes both: a mapping is read in the graph's node order.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

__all__ = ["positions_in_node_order"]


def positions_in_node_order(
    positions: object, n_nodes: int, nodes: Sequence[Hashable] | None = None
) -> NDArray[np.float64]:
    """Return positions as an ``(n, 2)`` float64 array, one row per node in order.

    Parameters
    ----------
    positions : array_like of shape (n, 2), or mapping
        An array in node order, or a mapping from every node to ``(x, y)``
        (such as ``forceatlas2_layout``'s result).
    n_nodes : int
        Number of nodes.
    nodes : sequence, optional
        The nodes in order, the keys a mapping must have; default: the node
        indices ``0 .. n_nodes - 1``.

    Returns
    -------
    ndarray of float64, shape (n, 2)

    Raises
    ------
    ValueError
        For a shape that does not match the graph, or a mapping that leaves a
        node out or names one that is not in the graph.
    TypeError
        For values that are not pairs of numbers.
    """
    if isinstance(positions, Mapping):
        keys: Sequence[Hashable] = range(n_nodes) if nodes is None else nodes
        for node in keys:
            if node not in positions:
                raise ValueError(
                    f"positions has no (x, y) for node {node!r}: a mapping must give every node's"
                )
        if len(positions) > len(keys):  # every node is in: some key is not a node
            known = set(keys)
            extra = next(node for node in positions if node not in known)
            raise ValueError(f"positions has an (x, y) for {extra!r}, which is not a node")
        rows: object = [positions[node] for node in keys]
    else:
        rows = positions
    try:
        points = np.asarray(rows, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"positions must be pairs of numbers (x, y): {exc}") from None
    if n_nodes == 0 and points.size == 0:
        return np.empty((0, 2))
    if points.shape != (n_nodes, 2):
        raise ValueError(
            f"positions must have shape ({n_nodes}, 2), one row per node, not {points.shape}"
        )
    return points
