"""Communities that coarsening must not cross: modularity local moving.

Merging two neighbours from different communities puts them at one point,
and ForceAtlas2's few refinement iterations cannot pull them apart again:
measured on planted-partition graphs, blind matching mixed a quarter of the
nodes after one level and half after two. So coarsening first labels the
nodes by Louvain's local-moving phase and merges only inside a label.

The moves are computed for all nodes at once (whole-array NumPy passes over
an adjacency sorted once, no sort per sweep); a random half of the nodes
that gain by moving move in each sweep, which keeps neighbours from
swapping labels back and forth.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.multilevel.adjacency import Adjacency, adjacency
from tallow_forceatlas2.multilevel.ordering import dense_ranks, sum_equal_pairs

__all__ = ["communities", "local_moving"]

# Node indices of 32 or 64 bits.
Labels = NDArray[np.signedinteger[Any]]

# Sweeps per local-moving pass. The first passes only need to shrink the
# graph: the labels they find mix communities (purity 0.5 after six rounds at
# 100,000 planted nodes), and the final pass on the input graph, starting
# from those large labels, puts nearly every node back into its own (0.98).
# Measured at 100,000 planted nodes, purity / seconds: first and merged
# sweeps 12 and 12 0.987 / 7.1, 4 and 4 0.979 / 3.5; a final pass of 8
# sweeps instead of 12, moving half each sweep, gave 0.938.
MAX_SWEEPS = 4
MOVE_SHARE = 0.5
MERGED_MOVE_SHARE = 0.3
# The final pass starts from labels mostly right, where simultaneous moves
# rarely undo each other: moving more of the willing nodes at once settles
# it in fewer sweeps. Purity, 12 sweeps moving half / 8 moving 0.8: 100,000
# planted nodes 0.989 / 0.991, 1,000,000 0.959 / 0.964, 100,000 LFR 0.676 /
# 0.679, 10,000 LFR 0.945 / 0.947.
REFINE_SWEEPS = 8
REFINE_MOVE_SHARE = 0.8
# Labels weighed per node and sweep: the one across the heaviest edge, then
# those of random neighbours.
CANDIDATES = 3
# Sweeps end when fewer than this share of the nodes still want to move.
SETTLED_SHARE = 0.002
# Above 1, modularity prefers smaller communities. A community split in two
# costs the layout nothing (the halves still merge once coarsening crosses
# labels), two merged ones cost mixed nodes: at 100,000 nodes resolution 1
# merged planted communities (purity 0.65), 2 kept them (0.95).
RESOLUTION = 2.0
# Rounds end early once no community merges; each costs less than the one
# before. Six rounds left 10,000 labels of purity 0.73 at 1,000,000 planted
# nodes, twenty left 200 of purity 0.96.
AGGREGATION_ROUNDS = 20


def _pull(adj: Adjacency, tail_label: Labels, target: Labels) -> NDArray[np.float64]:
    """Weight from every node to the nodes of its target label: one pass, no sort."""
    return adj.weight_where(tail_label == adj.per_end(target))


def _best_of_drawn(
    adj: Adjacency,
    tail_label: Labels,
    label: Labels,
    label_total: NDArray[np.float64],
    scale: NDArray[np.float64],
    stay: NDArray[np.float64],
    heaviest: NDArray[np.int64],
    rng: np.random.Generator,
) -> tuple[Labels, NDArray[np.float64]]:
    """Best of staying, the label across the heaviest edge and labels of random neighbours.

    The label holding most of a node's weight is the likeliest draw; each
    candidate costs one pass over the edge ends and no sort.
    """
    best, best_gain = label, stay
    for draw in range(CANDIDATES):
        pick = heaviest if draw == 0 else adj.draw_neighbours(rng)
        candidate = np.where(adj.has_edges, tail_label[pick], label)
        others = label_total[candidate]
        gain = _pull(adj, tail_label, candidate) - scale * others
        gain = np.where(candidate == label, stay, gain)
        # Strictly better only: ties keep the earlier draw, so bits follow the seed.
        better = gain > best_gain
        best = np.where(better, candidate, best)
        best_gain = np.where(better, gain, best_gain)
    return best, best_gain


def local_moving(
    adj: Adjacency,
    strength: NDArray[np.float64],
    rng: np.random.Generator,
    start: NDArray[np.int64] | None = None,
    sweeps: int | None = None,
    move_share: float = MOVE_SHARE,
) -> NDArray[np.int64]:
    """Label nodes by communities of high modularity.

    Every sweep weighs, for every node at once, staying against the labels
    of its neighbours, and a random share of the nodes that gain move.

    Parameters
    ----------
    adj : Adjacency
        The graph: undirected edges, no self-loops.
    strength : ndarray of float64, shape (n,)
        Weighted degree of each node, edges inside it counted twice.
    rng : numpy Generator
        Draws the candidates and the moving share.
    start : ndarray of int64, shape (n,), optional
        Labels to start from (node indices); default: every node alone.
    sweeps : int, optional
        At most this many sweeps; default ``MAX_SWEEPS``.
    move_share : float
        Share of the nodes that gain by moving that move in one sweep.

    Returns
    -------
    ndarray of int64, shape (n,)
        A community label per node (a node index, not renumbered).
    """
    n_nodes = len(strength)
    # Labels are node indices: 32 bits halve the memory every sweep moves.
    kind = np.int32 if n_nodes < 2**31 else np.int64
    label: Labels = np.arange(n_nodes, dtype=kind) if start is None else start.astype(kind)
    two_m = float(strength.sum())
    if len(adj.heads) == 0 or two_m <= 0.0:
        return label.astype(np.int64)
    scale = RESOLUTION * strength / two_m
    heaviest = adj.heaviest(rng)
    for _ in range(MAX_SWEEPS if sweeps is None else sweeps):
        label_total = np.bincount(label, weights=strength, minlength=n_nodes)
        tail_label = label[adj.tails]
        stay = _pull(adj, tail_label, label) - scale * (label_total[label] - strength)
        best, best_gain = _best_of_drawn(
            adj, tail_label, label, label_total, scale, stay, heaviest, rng
        )
        wants = (best != label) & (best_gain > stay)
        if wants.sum() < SETTLED_SHARE * n_nodes:
            break
        moving = wants & (rng.random(n_nodes) < move_share)
        label = np.where(moving, best, label)
    return label.astype(np.int64)


def _aggregate(
    labels: NDArray[np.int64],
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    strength: NDArray[np.float64],
) -> tuple[int, NDArray[np.int64], NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    """Merge every label into one node: (count, node -> merged, edges, weights, strength)."""
    count, merged = dense_ranks(labels, len(labels))
    pairs, summed = sum_equal_pairs(count, merged[edges[:, 0]], merged[edges[:, 1]], weights)
    return count, merged, pairs, summed, np.bincount(merged, weights=strength, minlength=count)


def communities(
    n_nodes: int,
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    strength: NDArray[np.float64],
    rng: np.random.Generator,
) -> NDArray[np.int64]:
    """Label nodes by Louvain communities, refined on the input graph.

    Local moving, then each community merged into one node and local moving
    again, until no community merges; the labels found are then handed back
    to the input graph and every node may move once more. That last pass
    mends the nodes that the first sweeps, deciding on too few neighbours,
    put in the wrong community.

    Returns
    -------
    ndarray of int64, shape (n_nodes,)
        Labels 0, 1, ... in no particular order.
    """
    finest = adjacency(n_nodes, edges, weights)
    level_adj, level_edges, level_weights, level_strength = finest, edges, weights, strength
    count = n_nodes
    member = np.arange(n_nodes, dtype=np.int64)
    for round_number in range(AGGREGATION_ROUNDS):
        # Merged nodes are few and each move shifts much weight: move fewer
        # at once there, or simultaneous moves overshoot into merged communities.
        share = MOVE_SHARE if round_number == 0 else MERGED_MOVE_SHARE
        labels = local_moving(level_adj, level_strength, rng, move_share=share)
        merged_count, merged, level_edges, level_weights, level_strength = _aggregate(
            labels, level_edges, level_weights, level_strength
        )
        member = merged[member]
        if merged_count == count:
            break
        count = merged_count
        level_adj = adjacency(count, level_edges, level_weights)
    refined = local_moving(finest, strength, rng, member, REFINE_SWEEPS, REFINE_MOVE_SHARE)
    return dense_ranks(refined, n_nodes)[1]
