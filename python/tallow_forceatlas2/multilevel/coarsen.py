"""Coarsening: merge matched neighbours into one node, level after level.

Each level is a weighted graph on which ForceAtlas2 behaves like the finer
graph it stands for: a merged node's mass is the sum of its members' masses
(so repulsion and gravity, which scale with mass, keep their totals) and the
edges between two merged nodes become one edge carrying the sum of their
attraction weights (so attraction keeps its total). Edges inside a merged
node pull nothing and are dropped; their weight stays in the mass.

Matching and merging run in the native module (a few passes over the edges
per level, no sort of the edge list), and every random choice follows a seed
drawn from the caller's Generator, so a seed gives the same hierarchy on
every run.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2 import _native
from tallow_forceatlas2.multilevel.communities import communities

__all__ = ["Level", "coarsen", "finest_level", "hierarchy"]

# Rounds of mutual best-neighbour matching per level; later rounds match
# only nodes the earlier ones left single.
MATCHING_ROUNDS = 3
# A level that keeps more than this share of its finer level's nodes ends the
# hierarchy: the graph has too few edges left to merge along.
MIN_REDUCTION = 0.9


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


def coarsen(
    level: Level, label: NDArray[np.int64] | None, rng: np.random.Generator
) -> Level | None:
    """Return the next coarser level, or None when merging would gain too little.

    Parameters
    ----------
    level : Level
        The level to coarsen.
    label : ndarray of int64, shape (level.n_nodes,), or None
        Only nodes of equal label merge; None lets any neighbours merge.
    rng : numpy Generator
        Breaks ties between equally good neighbours.

    Returns
    -------
    Level or None
        Masses summed per merged node; edges between merged nodes summed;
        edges inside one dropped. Merged nodes are numbered in the order of
        their group's representative, the smaller index of its pair.
    """
    # Pairs come from rounds of mutual best-neighbour matching on the
    # normalized edge weight w / (mass_u * mass_v), which prefers strongly
    # tied, light nodes and so keeps merged masses even. A node left single
    # that chose a matched neighbour joins it (the leaves of a star collapse
    # into their hub instead of stalling the coarsening).
    seed = int(rng.integers(2**63))
    merged = _native.coarsen_level(
        level.n_nodes, level.edges, level.weights, level.mass, label, seed, MATCHING_ROUNDS
    )
    coarser = _coarser_level(level, *merged[1:])
    if coarser.n_nodes > MIN_REDUCTION * level.n_nodes:
        return None
    return coarser


def _coarser_level(
    level: Level, parent_bytes: bytearray, pair_bytes: bytearray, weight_bytes: bytearray
) -> Level:
    """The merged level of a native merge's result: masses and strengths summed."""
    parent = np.frombuffer(parent_bytes, dtype=np.int64)
    edges = np.frombuffer(pair_bytes, dtype=np.int64).reshape(-1, 2)
    weights = np.frombuffer(weight_bytes, dtype=np.float64)
    n_coarse = int(parent.max()) + 1 if len(parent) else 0
    mass = np.bincount(parent, weights=level.mass, minlength=n_coarse)
    strength = np.bincount(parent, weights=level.strength, minlength=n_coarse)
    return Level(n_coarse, edges, weights, mass, strength, parent)


def _merge_groups(level: Level, group: NDArray[np.int64]) -> Level:
    """The level with every group of nodes merged into one, numbered by group."""
    merged = _native.merge_groups(level.n_nodes, level.edges, level.weights, group)
    return _coarser_level(level, *merged[1:])


def hierarchy(finest: Level, rng: np.random.Generator, coarsest_nodes: int) -> list[Level]:
    """Coarsen until at most ``coarsest_nodes`` nodes remain or merging stalls.

    Merging stays inside Louvain communities of the finest level while it
    can, then crosses them.

    Returns
    -------
    list of Level
        Finest first; each later level's ``parent`` maps the one before it.
    """
    levels = [finest]
    label: NDArray[np.int64] | None = None
    if finest.n_nodes > coarsest_nodes:
        label = communities(finest.n_nodes, finest.edges, finest.weights, rng)
    while levels[-1].n_nodes > coarsest_nodes:
        coarser = coarsen(levels[-1], label, rng)
        if coarser is None and label is not None:
            # Matching inside communities stalled: merge each whole community
            # into one node before matching across them, which would
            # scatter its pieces.
            whole = _merge_groups(levels[-1], label)
            label = None
            if whole.n_nodes < levels[-1].n_nodes:
                levels.append(whole)
            continue
        if coarser is None:
            break
        assert coarser.parent is not None
        if label is not None:
            # Members of one node share its label, so any member's will do.
            coarse_label = np.empty(coarser.n_nodes, dtype=np.int64)
            coarse_label[coarser.parent] = label
            label = coarse_label
        levels.append(coarser)
    if label is not None:
        # Coarse enough while still inside communities: the coarsest layout
        # then places whole communities; pieces of one, placed apart there,
        # stay apart as separate blobs to the end.
        whole = _merge_groups(levels[-1], label)
        if whole.n_nodes < levels[-1].n_nodes:
            levels.append(whole)
    return levels
