"""Communities that coarsening must not cross: modularity local moving.

Merging two neighbours from different communities puts them at one point,
and ForceAtlas2's few refinement iterations cannot pull them apart again:
measured on planted-partition graphs, blind matching mixed a quarter of the
nodes after one level and half after two. So coarsening first labels the
nodes by Louvain's local-moving phase and merges only inside a label.

The moves are computed for all nodes at once (whole-array NumPy passes); a
random half of the nodes that gain by moving move in each sweep, which keeps
neighbours from swapping labels back and forth.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.multilevel.grouped import group_argmax

__all__ = ["communities", "local_moving"]

MAX_SWEEPS = 12
MOVE_SHARE = 0.5
MERGED_MOVE_SHARE = 0.1
# Sweeps end when fewer than this share of the nodes still want to move.
SETTLED_SHARE = 0.002
# Above 1, modularity prefers smaller communities. A community split in two
# costs the layout nothing (the halves still merge once coarsening crosses
# labels), two merged ones cost mixed nodes: at 100,000 nodes resolution 1
# merged planted communities (purity 0.65), 2 kept them (0.95).
RESOLUTION = 2.0
AGGREGATION_ROUNDS = 6
REFINE_SWEEPS = 4


def _best_moves(
    n_nodes: int,
    heads: NDArray[np.int64],
    labels_of_tails: NDArray[np.int64],
    weights: NDArray[np.float64],
    strength: NDArray[np.float64],
    label_total: NDArray[np.float64],
    label: NDArray[np.int64],
    two_m: float,
    rng: np.random.Generator,
) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    """Best neighbouring label of every node, its modularity gain, and the gain of staying."""
    keys, inverse = np.unique(heads * n_nodes + labels_of_tails, return_inverse=True)
    toward = np.bincount(inverse.ravel(), weights=weights, minlength=len(keys))
    node = keys // n_nodes
    candidate = keys % n_nodes
    own = candidate == label[node]
    others = label_total[candidate] - np.where(own, strength[node], 0.0)
    gain = toward - RESOLUTION * strength[node] * others / two_m
    stay_toward = np.bincount(node[own], weights=toward[own], minlength=n_nodes)
    stay = stay_toward - RESOLUTION * strength * (label_total[label] - strength) / two_m
    winners = group_argmax(node, gain, rng)
    best = label.copy()
    best_gain = stay.copy()
    best[node[winners]] = candidate[winners]
    best_gain[node[winners]] = gain[winners]
    return best, best_gain, stay


def local_moving(
    n_nodes: int,
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    strength: NDArray[np.float64],
    rng: np.random.Generator,
    start: NDArray[np.int64] | None = None,
    sweeps: int | None = None,
    move_share: float = MOVE_SHARE,
) -> NDArray[np.int64]:
    """Label nodes by communities of high modularity.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of int64, shape (k, 2)
        Undirected edges, each pair once, no self-loops.
    weights : ndarray of float64, shape (k,)
        Edge weights.
    strength : ndarray of float64, shape (n_nodes,)
        Weighted degree of each node, edges inside it counted twice.
    rng : numpy Generator
        Picks the moving half and breaks ties.
    start : ndarray of int64, shape (n_nodes,), optional
        Labels to start from (node indices); default: every node alone.
    sweeps : int, optional
        At most this many sweeps; default ``MAX_SWEEPS``.
    move_share : float
        Share of the nodes that gain by moving that move in one sweep.

    Returns
    -------
    ndarray of int64, shape (n_nodes,)
        A community label per node (a node index, not renumbered).
    """
    label = np.arange(n_nodes, dtype=np.int64) if start is None else start.copy()
    two_m = float(strength.sum())
    if len(edges) == 0 or two_m <= 0.0:
        return label
    heads = np.concatenate([edges[:, 0], edges[:, 1]])
    tails = np.concatenate([edges[:, 1], edges[:, 0]])
    both = np.concatenate([weights, weights])
    # Only nodes whose neighbourhood changed (or that wanted to move) can
    # gain by moving, so later sweeps look at ever fewer edges.
    active = np.ones(n_nodes, dtype=bool)
    for _ in range(MAX_SWEEPS if sweeps is None else sweeps):
        label_total = np.bincount(label, weights=strength, minlength=n_nodes)
        looked = active[heads]
        best, best_gain, stay = _best_moves(
            n_nodes,
            heads[looked],
            label[tails[looked]],
            both[looked],
            strength,
            label_total,
            label,
            two_m,
            rng,
        )
        wants = active & (best != label) & (best_gain > stay)
        if wants.sum() < SETTLED_SHARE * n_nodes:
            break
        moving = wants & (rng.random(n_nodes) < move_share)
        label[moving] = best[moving]
        moved_next_door = np.bincount(heads, weights=moving[tails], minlength=n_nodes) > 0
        active = wants | moved_next_door
    return label


def _aggregate(
    labels: NDArray[np.int64],
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    strength: NDArray[np.float64],
) -> tuple[int, NDArray[np.int64], NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    """Merge every label into one node: (count, node -> merged, edges, weights, strength)."""
    _, merged = np.unique(labels, return_inverse=True)
    merged = merged.ravel().astype(np.int64)
    count = int(merged.max()) + 1 if len(merged) else 0
    first, second = merged[edges[:, 0]], merged[edges[:, 1]]
    keep = first != second
    low, high = np.minimum(first[keep], second[keep]), np.maximum(first[keep], second[keep])
    keys, inverse = np.unique(low * count + high, return_inverse=True)
    summed = np.bincount(inverse.ravel(), weights=weights[keep], minlength=len(keys))
    pairs = np.stack([keys // max(count, 1), keys % max(count, 1)], axis=1)
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
    count, level_edges, level_weights, level_strength = n_nodes, edges, weights, strength
    member = np.arange(n_nodes, dtype=np.int64)
    for round_number in range(AGGREGATION_ROUNDS):
        # Merged nodes are few and each move shifts much weight: move fewer
        # at once there, or simultaneous moves overshoot into merged communities.
        share = MOVE_SHARE if round_number == 0 else MERGED_MOVE_SHARE
        labels = local_moving(
            count, level_edges, level_weights, level_strength, rng, move_share=share
        )
        merged_count, merged, level_edges, level_weights, level_strength = _aggregate(
            labels, level_edges, level_weights, level_strength
        )
        member = merged[member]
        if merged_count == count:
            break
        count = merged_count
    refined = local_moving(n_nodes, edges, weights, strength, rng, member, REFINE_SWEEPS)
    _, result = np.unique(refined, return_inverse=True)
    return result.ravel().astype(np.int64)
