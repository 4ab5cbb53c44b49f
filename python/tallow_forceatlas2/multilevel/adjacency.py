"""Both directions of every edge grouped by head, built with one sort."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.multilevel.grouped import group_argmax
from tallow_forceatlas2.multilevel.ordering import stable_order

__all__ = ["Adjacency", "adjacency"]


@dataclass(frozen=True)
class Adjacency:
    """Compressed adjacency: node ``v``'s edge ends are ``start[v]:start[v + 1]``.

    Attributes
    ----------
    heads, tails : ndarray of int64, shape (2k,)
        Every undirected edge once in each direction, sorted by head.
    weights : ndarray of float64, shape (2k,)
        The edge's weight, repeated for both directions.
    start : ndarray of int64, shape (n + 1,)
        Where each node's run begins.
    """

    heads: NDArray[np.int64]
    tails: NDArray[np.int64]
    weights: NDArray[np.float64]
    start: NDArray[np.int64]
    degree: NDArray[np.int64] = field(init=False)
    has_edges: NDArray[np.bool_] = field(init=False)
    _run_starts: NDArray[np.int64] = field(init=False, repr=False)
    _unit_weights: bool = field(init=False, repr=False)

    def __post_init__(self) -> None:
        degree = np.diff(self.start)
        object.__setattr__(self, "degree", degree)
        object.__setattr__(self, "has_edges", degree > 0)
        object.__setattr__(self, "_run_starts", self.start[:-1][degree > 0])
        object.__setattr__(self, "_unit_weights", bool(np.all(self.weights == 1.0)))

    def per_end(self, values: NDArray[np.int64]) -> NDArray[np.int64]:
        """``values[heads]``, as one sequential pass (heads are sorted)."""
        return np.repeat(values, self.degree)

    def sum_per_node(self, values: NDArray[np.float64]) -> NDArray[np.float64]:
        """Sum of ``values`` (one per edge end) over every node's run; 0 without edges."""
        result = np.zeros(len(self.degree))
        if len(values):
            result[self.has_edges] = np.add.reduceat(values, self._run_starts)
        return result

    def weight_where(self, chosen: NDArray[np.bool_]) -> NDArray[np.float64]:
        """Sum of the weights of every node's ``chosen`` edge ends; 0 without edges.

        With all weights 1 the sum is a count, taken from one integer running
        sum (exact, so the same bits as adding the weights).
        """
        if not self._unit_weights or not len(chosen):
            return self.sum_per_node(np.where(chosen, self.weights, 0.0))
        running = np.empty(len(chosen) + 1, dtype=np.int64)
        running[0] = 0
        np.cumsum(chosen, out=running[1:])
        return np.diff(running[self.start]).astype(np.float64)

    def draw_neighbours(self, rng: np.random.Generator) -> NDArray[np.int64]:
        """One edge end per node, uniformly among its own (0 for nodes without edges).

        Costs one draw per node: no pass over the edges.
        """
        offset = (rng.random(len(self.degree)) * self.degree).astype(np.int64)
        # Rounding may reach the run's end.
        offset = np.minimum(offset, np.maximum(self.degree - 1, 0))
        return np.where(self.has_edges, self.start[:-1] + offset, 0)

    def heaviest(self, rng: np.random.Generator) -> NDArray[np.int64]:
        """The edge end of largest weight of every node (random among ties), 0 for none."""
        result = np.zeros(len(self.degree), dtype=np.int64)
        winners = group_argmax(self.heads, self.weights, rng)
        result[self.heads[winners]] = winners
        return result


def adjacency(n_nodes: int, edges: NDArray[np.int64], weights: NDArray[np.float64]) -> Adjacency:
    """Build the adjacency of ``edges`` (each undirected pair once, no self-loops)."""
    ends = np.concatenate([edges[:, 0], edges[:, 1]])
    order = stable_order(ends, n_nodes)
    heads = ends[order]
    tails = np.concatenate([edges[:, 1], edges[:, 0]])[order]
    both = np.concatenate([weights, weights])[order]
    start = np.zeros(n_nodes + 1, dtype=np.int64)
    np.cumsum(np.bincount(heads, minlength=n_nodes), out=start[1:])
    return Adjacency(heads, tails, both, start)
