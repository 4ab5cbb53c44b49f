"""Both directions of every edge grouped by head, built with one sort."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.multilevel.grouped import group_argmax
from tallow_forceatlas2.multilevel.ordering import sorted_with_order

__all__ = ["Adjacency", "adjacency"]

IntegerT = TypeVar("IntegerT", bound=np.integer)


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
    _not_one: NDArray[np.int64] | None = field(init=False, repr=False)

    def __post_init__(self) -> None:
        degree = np.diff(self.start)
        object.__setattr__(self, "degree", degree)
        object.__setattr__(self, "has_edges", degree > 0)
        object.__setattr__(self, "_run_starts", self.start[:-1][degree > 0])
        object.__setattr__(self, "_not_one", _few_integral_exceptions(self.weights))

    def per_end(self, values: NDArray[IntegerT]) -> NDArray[IntegerT]:
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

        When the weights are whole numbers, nearly all 1, the sum is a count
        of the chosen ends (one integer running sum) plus the few weights
        above 1: integer sums are exact, so the bits are those of adding the
        weights in any order.
        """
        if self._not_one is None or not len(chosen):
            return self.sum_per_node(np.where(chosen, self.weights, 0.0))
        running = np.empty(len(chosen) + 1, dtype=np.int32 if len(chosen) < 2**31 else np.int64)
        running[0] = 0
        np.cumsum(chosen, out=running[1:])
        result = np.diff(running[self.start]).astype(np.float64)
        if len(self._not_one):
            ends = self._not_one[chosen[self._not_one]]
            result += np.bincount(
                self.heads[ends], weights=self.weights[ends] - 1.0, minlength=len(result)
            )
        return result

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


# Weights other than 1 are handled one by one when at most this share of them.
_EXCEPTIONS_SHARE = 0.125
# Sums of whole numbers below this are exact in float64.
_EXACT_SUMS_BELOW = 2.0**52


def _few_integral_exceptions(weights: NDArray[np.float64]) -> NDArray[np.int64] | None:
    """Indices of the weights other than 1, if all are whole and few; else None."""
    not_one = np.flatnonzero(weights != 1.0)
    if len(not_one) > _EXCEPTIONS_SHARE * len(weights):
        return None
    exceptions = weights[not_one]
    whole = np.array_equal(exceptions, np.floor(exceptions))
    if not whole or float(np.sum(weights)) >= _EXACT_SUMS_BELOW:
        return None
    return not_one


def adjacency(n_nodes: int, edges: NDArray[np.int64], weights: NDArray[np.float64]) -> Adjacency:
    """Build the adjacency of ``edges`` (each undirected pair once, no self-loops)."""
    ends = np.concatenate([edges[:, 0], edges[:, 1]])
    heads, order = sorted_with_order(ends, n_nodes)
    tails = np.concatenate([edges[:, 1], edges[:, 0]])[order]
    if np.all(weights == 1.0):
        both = np.ones(len(heads))
    else:
        both = np.concatenate([weights, weights])[order]
    start = np.zeros(n_nodes + 1, dtype=np.int64)
    np.cumsum(np.bincount(heads, minlength=n_nodes), out=start[1:])
    return Adjacency(heads, tails, both, start)
