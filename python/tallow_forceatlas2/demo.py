"""A built-in example graph with visible community structure.

Twelve communities of uneven size, dense inside and sparsely linked to each
other, with a few hubs per community (node activity follows a heavy-tailed
law). Generated from a fixed seed using only uniform draws, so the graph is the
same on every run.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["DemoGraph", "demo_graph"]

_SEED = 20240613
_COMMUNITY_SIZES = (420, 380, 340, 310, 280, 260, 240, 220, 200, 180, 160, 140)
_INSIDE_DEGREE = 7.0  # mean number of neighbours in the same community
_OUTSIDE_DEGREE = 0.35  # mean number of neighbours elsewhere


@dataclass(frozen=True)
class DemoGraph:
    """The demo graph.

    Attributes
    ----------
    edges : ndarray of int64, shape (m, 2)
        Undirected edges, each pair once, no self-loops.
    communities : list of str
        The community of every node ("c01" to "c12").
    """

    edges: NDArray[np.int64]
    communities: list[str]

    @property
    def n_nodes(self) -> int:
        """Number of nodes."""
        return len(self.communities)


def _pick(
    rng: np.random.Generator, cumulative: NDArray[np.float64], count: int
) -> NDArray[np.int64]:
    """Draw ``count`` indices with probabilities given by a cumulative sum."""
    draws = rng.random(count) * cumulative[-1]
    picked: NDArray[np.int64] = np.searchsorted(cumulative, draws, side="right").astype(np.int64)
    return np.minimum(picked, len(cumulative) - 1)


def demo_graph() -> DemoGraph:
    """Return the built-in example graph (3,130 nodes).

    Returns
    -------
    DemoGraph
        The same edges and communities on every call.
    """
    rng = np.random.default_rng(_SEED)
    sizes = np.array(_COMMUNITY_SIZES)
    n = int(sizes.sum())
    member = np.repeat(np.arange(len(sizes)), sizes)
    # Pareto-distributed activity (shape 2.2): most nodes are quiet, a few are hubs.
    activity = (1.0 - rng.random(n)) ** (-1.0 / 2.2)
    starts = np.concatenate([[0], np.cumsum(sizes)])
    chunks = []
    for c, size in enumerate(sizes):
        lo, hi = int(starts[c]), int(starts[c + 1])
        cumulative = np.cumsum(activity[lo:hi])
        count = int(size * _INSIDE_DEGREE / 2)
        pairs = lo + np.stack([_pick(rng, cumulative, count), _pick(rng, cumulative, count)], 1)
        # Every node gets at least one neighbour in its own community.
        anchors = lo + _pick(rng, cumulative, int(size))
        own = np.stack([np.arange(lo, hi), anchors], 1)
        chunks += [pairs, own]
    cumulative = np.cumsum(activity)
    count = int(n * _OUTSIDE_DEGREE / 2)
    chunks.append(np.stack([_pick(rng, cumulative, count), _pick(rng, cumulative, count)], 1))
    pairs = np.concatenate(chunks)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    edges = np.unique(np.sort(pairs, axis=1), axis=0)
    communities = [f"c{c + 1:02d}" for c in member.tolist()]
    return DemoGraph(edges.astype(np.int64), communities)
