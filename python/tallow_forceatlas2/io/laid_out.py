"""A laid-out graph in the terms graph-file writers need: labels, edges, positions, looks."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.colours import node_colours
from tallow_forceatlas2.io.node_order import positions_in_node_order

__all__ = ["LaidOutGraph", "laid_out_graph"]


@dataclass(frozen=True)
class LaidOutGraph:
    """Everything a graph file holds of a layout.

    Attributes
    ----------
    labels : list of str
        Node ids, in node order.
    edges : ndarray of int64, shape (m, 2)
        Node indices of every edge.
    weights : ndarray of float64, shape (m,), or None
        Edge weights.
    positions : ndarray of float64, shape (n, 2)
        Node positions.
    sizes : ndarray of float64, shape (n,)
        Node sizes: the given ones, else growing with the degree.
    colours : ndarray of uint8, shape (n, 3)
        RGB per node: by community when given, else by degree, the colours
        of the pictures (:mod:`tallow_forceatlas2.colours`).
    communities : list of str or None
        Community labels, when given.
    """

    labels: list[str]
    edges: NDArray[np.int64]
    weights: NDArray[np.float64] | None
    positions: NDArray[np.float64]
    sizes: NDArray[np.float64]
    colours: NDArray[np.uint8]
    communities: list[str] | None


def _colours(degree: NDArray[np.float64], communities: Sequence[str] | None) -> NDArray[np.uint8]:
    rgba = node_colours(degree, communities)
    return np.rint(rgba[:, :3] * 255.0).astype(np.uint8).reshape(-1, 3)


def laid_out_graph(
    graph: object,
    positions: object,
    *,
    communities: Sequence[Hashable] | None = None,
    sizes: object = None,
    weight: str | None = "weight",
) -> LaidOutGraph:
    """Gather a graph and its positions for a writer.

    Parameters
    ----------
    graph : any graph :func:`tallow_forceatlas2.layout` takes
        An edge array, sparse matrix, networkx or igraph graph (as given to
        ``layout``).
    positions : array_like of shape (n, 2), or mapping
        ``layout``'s result for ``graph``, or ``forceatlas2_layout``'s: a
        mapping from every node to ``(x, y)``.
    communities : sequence, optional
        A community label per node, for colours and a ``community`` attribute.
    sizes : array_like of shape (n,), optional
        Node sizes; default: ``1 + sqrt(degree)``.
    weight : str or None, default "weight"
        As for ``layout``.

    Returns
    -------
    LaidOutGraph

    Raises
    ------
    ValueError
        When ``positions``, ``communities`` or ``sizes`` do not match the graph.
    """
    from tallow_forceatlas2.inputs import graph_arrays

    arrays = graph_arrays(graph, weight=weight)
    n = arrays.n_nodes
    points = positions_in_node_order(positions, n, arrays.nodes)
    labels = [str(x) for x in arrays.labels] if arrays.labels is not None else None
    edges = arrays.edges.astype(np.int64)
    degree = np.bincount(edges.ravel(), minlength=n).astype(np.float64)
    if sizes is None:
        drawn = 1.0 + np.sqrt(degree)
    else:
        drawn = np.asarray(sizes, dtype=np.float64)
        if drawn.shape != (n,):
            raise ValueError(f"sizes must have shape ({n},), one per node, not {drawn.shape}")
    groups = None
    if communities is not None:
        groups = ["" if c is None else str(c) for c in communities]
        if len(groups) != n:
            raise ValueError(f"communities must name {n} nodes, one per node, not {len(groups)}")
    return LaidOutGraph(
        labels=labels if labels is not None else [str(i) for i in range(n)],
        edges=edges,
        weights=arrays.weights,
        positions=points,
        sizes=drawn,
        colours=_colours(degree, groups),
        communities=groups,
    )
