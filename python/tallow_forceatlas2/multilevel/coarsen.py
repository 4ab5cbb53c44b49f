"""Coarsening: merge matched neighbours into one node, level after level.

Each level is a weighted graph on which ForceAtlas2 behaves like the finer
graph it stands for: a merged node's mass is the sum of its members' masses
(so repulsion and gravity, which scale with mass, keep their totals) and the
edges between two merged nodes become one edge carrying the sum of their
attraction weights (so attraction keeps its total). Edges inside a merged
node pull nothing and are dropped; their weight stays in the mass.

The native module builds the levels (``_native.hierarchy``): Louvain
communities of the input graph first, then rounds of mutual best-neighbour
matching on ``w / (mass_u * mass_v)`` inside the communities, which prefers
strongly tied, light nodes and so keeps merged masses even, until every
community is one node; then matching across them. The graphs stay in the
native module from level to level, each costing a few passes over its
edges. Every random choice follows a seed drawn from the caller's
Generator, so a seed gives the same hierarchy on every run.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2 import _native

__all__ = ["Level", "finest_level", "hierarchy"]


@dataclass(frozen=True)
class Level:
    """One graph of the hierarchy.

    Attributes
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of int64, shape (k, 2)
        Each undirected pair once, smaller index first, no self-loops,
        sorted by (first, second).
    weights : ndarray of float64, shape (k,)
        Attraction weight of each edge: the sum of the weights of the
        finest-level edges it stands for.
    mass : ndarray of float64, shape (n_nodes,)
        ForceAtlas2 mass of each node: the sum of its members' masses.
    strength : ndarray of float64, shape (n_nodes,)
        Sum of the weights of the node's edge ends, edges inside it counted
        twice (the weighted degree for modularity).
    parent : ndarray of int64, shape (finer n_nodes,), or None
        For each node of the next finer level, the node of this level it was
        merged into; None for the finest level.
    """

    n_nodes: int
    edges: NDArray[np.int64]
    weights: NDArray[np.float64]
    mass: NDArray[np.float64]
    strength: NDArray[np.float64]
    parent: NDArray[np.int64] | None = None


def finest_level(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    edge_weight_influence: float,
) -> Level:
    """Return the input graph as the first level of the hierarchy.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of uint32, shape (m, 2)
        The edge list, as ``inputs.graph_arrays`` gives it.
    weights : ndarray of float64, shape (m,), or None
        Edge weights, None for 1.
    edge_weight_influence : float
        The exponent the layout applies to the weights for attraction.

    Returns
    -------
    Level
        Masses as the kernel computes them (1 plus the weights of the node's
        edge ends, a self-loop counting twice) and attraction weights
        ``weight ** edge_weight_influence``, parallel edges merged.
    """
    pairs = edges.astype(np.int64)
    raw = np.ones(len(edges)) if weights is None else weights
    mass = 1.0 + np.bincount(pairs[:, 0], weights=raw, minlength=n_nodes)
    mass += np.bincount(pairs[:, 1], weights=raw, minlength=n_nodes)
    pull = raw if edge_weight_influence == 1.0 else np.power(raw, edge_weight_influence)
    # Each node its own group: merging drops self-loops and sums parallel edges.
    merged_bytes = _native.merge_groups(n_nodes, pairs, pull, np.arange(n_nodes, dtype=np.int64))
    merged = np.frombuffer(merged_bytes[2], dtype=np.int64).reshape(-1, 2)
    summed = np.frombuffer(merged_bytes[3], dtype=np.float64)
    strength = np.bincount(merged[:, 0], weights=summed, minlength=n_nodes)
    strength += np.bincount(merged[:, 1], weights=summed, minlength=n_nodes)
    return Level(n_nodes, merged, summed, mass, strength)


def hierarchy(finest: Level, rng: np.random.Generator, coarsest_nodes: int) -> list[Level]:
    """Coarsen until at most ``coarsest_nodes`` nodes remain or merging stalls.

    Merging stays inside Louvain communities of the finest level while it
    can, then crosses them.

    Returns
    -------
    list of Level
        Finest first; each later level's ``parent`` maps the one before it.
        Masses summed per merged node; edges between merged nodes summed;
        edges inside one dropped.
    """
    seed = int(rng.integers(2**63))
    levels = [finest]
    for _, parent_bytes, pair_bytes, weight_bytes, mass_bytes in _native.hierarchy(
        finest.n_nodes, finest.edges, finest.weights, finest.mass, coarsest_nodes, seed
    ):
        parent = np.frombuffer(parent_bytes, dtype=np.int64)
        mass = np.frombuffer(mass_bytes, dtype=np.float64)
        strength = np.bincount(parent, weights=levels[-1].strength, minlength=len(mass))
        edges = np.frombuffer(pair_bytes, dtype=np.int64).reshape(-1, 2)
        weights = np.frombuffer(weight_bytes, dtype=np.float64)
        levels.append(Level(len(mass), edges, weights, mass, strength, parent))
    return levels
