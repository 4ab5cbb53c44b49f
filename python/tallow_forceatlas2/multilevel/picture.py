"""Whether a picture should pull a graph's groups apart: the rule of ``picture="auto"``.

Logarithmic attraction draws every group that the coarsest layout placed
apart as a tight knot. That tells the truth where the graph has communities:
groups that few edges leave, each of them internally well mixed, so that a
knot hides nothing. It lies everywhere else. Meshes, trees and k-nearest-
neighbour graphs also split into groups that few edges leave (any patch of a
mesh has a short border), but their groups are internally as mesh-like as the
whole, and a knot crushes the geometry inside. Graphs without structure
(Erdős–Rényi, Barabási–Albert) have groups that most edges leave.

The hierarchy already holds the evidence. Its coarsest level groups the nodes
(Louvain communities at a resolution that prefers small ones, or unions of
them), and each finer level splits every group into smaller parts. Two
shares of the attraction weight decide:

- ``cut``: the weight between communities, against all weight, once groups
  that gain modularity together are merged back into one. Communities keep
  most of it inside (planted partitions with 20 to 40 % of their edges
  between communities: 0.20 to 0.42; LFR, mixing 0.3: 0.39); graphs without
  structure do not (Erdős–Rényi and Barabási–Albert, degree 8: 0.64 to 0.69;
  Erdős–Rényi degree 30: 0.84).
- ``inner_cut``: the weight inside groups that crosses the parts of the
  coarsest level that has eight parts per group or more. Inside a community
  the parts are random pieces of a well-mixed graph, and most of its edges
  cross them (planted partitions 0.54 to 0.77, LFR 0.62); inside a patch of
  a mesh or a subtree they are smaller patches with short borders (grids
  100 x 100 and 316 x 316: 0.30 and 0.14; random geometric graphs 0.30; a
  30 x 30 x 30 grid 0.23; kNN graphs of 2-D point clouds 0.35; trees 0.15
  and less).

A graph is drawn clustered when ``0 < cut <= MAX_CUT`` and
``inner_cut >= MIN_INNER_CUT``, measured on groups of ``MIN_GROUP_NODES``
nodes or more on average. Groups that are whole connected pieces carry
no evidence either way (any layout draws pieces apart), so only pieces split
into two or more groups count; a graph without such pieces is drawn
faithfully. The rule reads the hierarchy only, so it depends on the graph and
the seed, never on the thread count.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.multilevel.coarsen import Level

__all__ = [
    "MAX_CUT",
    "MIN_GROUP_NODES",
    "MIN_INNER_CUT",
    "PARTS_PER_GROUP",
    "PICTURE_SETTINGS",
    "PIECES_SETTINGS",
    "PIECES_SHARE",
    "GroupEvidence",
    "choose_picture",
    "group_evidence",
    "largest_piece_share",
]

# The pictures, as layout() keywords. Clustered needs classic gravity:
# strong gravity squeezes the knots together. Faithful keeps the gravity of
# the layout it is part of: classic for a multilevel layout, whose meshes
# strong gravity presses into a disc (316 x 316 grid: neighbourhood
# preservation 0.59 and stress 0.090 with it, 0.81 and 0.022 without). A
# graph of many pieces is the exception ("pieces", chosen by the graph only):
# classic gravity holds pieces at a distance that grows with the graph's
# mass, so twenty kNN clusters of 500 nodes each came out as specks far
# apart, where strong gravity sets them side by side as discs.
PICTURE_SETTINGS: dict[str, dict[str, bool]] = {
    "faithful": {"lin_log": False},
    "clustered": {"lin_log": True, "strong_gravity": False},
}
PIECES_SETTINGS = {"lin_log": False, "strong_gravity": True}
# A graph is "pieces" when its largest connected piece holds less than this
# share of the nodes.
PIECES_SHARE = 0.5
MAX_CUT = 0.55
MIN_INNER_CUT = 0.5
PARTS_PER_GROUP = 8
# Rounds of merging groups back into communities; each round at least halves
# the groups that still gain from a merge, so a few dozen suffice.
MERGE_ROUNDS = 64
# Below this many nodes per group the parts are too small to tell a mesh's
# patches from a community's pieces: a patch of a few nodes is all border.
MIN_GROUP_NODES = 64


@dataclass(frozen=True)
class GroupEvidence:
    """What the hierarchy says about a graph's groups.

    Attributes
    ----------
    groups : int
        Groups of the coarsest level that share a connected piece with
        another group.
    cut : float
        Share of the attraction weight between two such groups.
    inner_cut : float
        Share of the weight inside those groups that crosses the parts of a
        finer level (``PARTS_PER_GROUP`` parts per group or more); 0 when the
        groups are too small to tell.
    clustered : bool
        Whether the picture should pull the groups apart.
    """

    groups: int
    cut: float
    inner_cut: float
    clustered: bool


def _ancestors(levels: Sequence[Level]) -> list[NDArray[np.int64]]:
    """For every level, the node of that level each input node belongs to."""
    current = np.arange(levels[0].n_nodes, dtype=np.int64)
    result = [current]
    for level in levels[1:]:
        assert level.parent is not None
        current = level.parent[current]
        result.append(current)
    return result


def _split_pieces(
    edges: NDArray[np.int64], group: NDArray[np.int64], n_groups: int
) -> NDArray[np.bool_]:
    """Which groups share a connected piece with another group.

    Two groups share a piece exactly when some path of between-group edges
    joins them, so only the edges between groups need to be followed.
    """
    between = edges[group[edges[:, 0]] != group[edges[:, 1]]]
    shared = np.zeros(n_groups, dtype=bool)
    shared[group[between[:, 0]]] = True
    shared[group[between[:, 1]]] = True
    return shared


def group_evidence(levels: Sequence[Level]) -> GroupEvidence:
    """Measure the coarsest level's groups and decide whether to draw them apart.

    Parameters
    ----------
    levels : sequence of Level
        The hierarchy, finest first (``coarsen.hierarchy``).

    Returns
    -------
    GroupEvidence
        The two shares and the decision; a graph that was not coarsened, or
        whose groups are all whole connected pieces, is drawn faithfully.
    """
    finest = levels[0]
    if len(levels) < 2 or len(finest.edges) == 0:
        return GroupEvidence(0, 0.0, 0.0, False)
    ancestors = _ancestors(levels)
    group = ancestors[-1]
    shared = _split_pieces(finest.edges, group, levels[-1].n_nodes)
    groups = int(shared.sum())
    if groups < 2:
        return GroupEvidence(groups, 0.0, 0.0, False)
    counted = shared[group[finest.edges[:, 0]]]
    edges = finest.edges[counted]
    weights = finest.weights[counted]
    crossing = group[edges[:, 0]] != group[edges[:, 1]]
    inside_weight = float(weights[~crossing].sum())
    strength = np.bincount(group, weights=finest.strength, minlength=len(shared))
    pairs, pair_weights = _summed_pairs(group[edges[crossing]], weights[crossing], len(shared))
    merged = _modularity_merges(pairs, pair_weights, strength)
    between = merged[group[edges[:, 0]]] != merged[group[edges[:, 1]]]
    cut = float(weights[between].sum()) / float(weights.sum())
    in_groups = shared[group]
    parts = _finer_parts(ancestors[:-1], in_groups, groups * PARTS_PER_GROUP)
    inner_cut = 0.0
    big_enough = int(in_groups.sum()) >= MIN_GROUP_NODES * groups
    if parts is not None and inside_weight > 0.0 and big_enough:
        split = parts[edges[:, 0]] != parts[edges[:, 1]]
        inner_cut = float(weights[~crossing & split].sum()) / inside_weight
    clustered = 0.0 < cut <= MAX_CUT and inner_cut >= MIN_INNER_CUT
    return GroupEvidence(groups, cut, inner_cut, clustered)


def _finer_parts(
    ancestors: Sequence[NDArray[np.int64]], in_groups: NDArray[np.bool_], wanted: int
) -> NDArray[np.int64] | None:
    """The coarsest level with at least ``wanted`` parts among the counted nodes.

    None when only the input nodes have that many: single nodes would call
    every graph well mixed.
    """
    for parts in reversed(ancestors[1:]):
        if np.count_nonzero(np.bincount(parts[in_groups])) >= wanted:
            return parts
    return None


def _modularity_merges(
    pairs: NDArray[np.int64], weights: NDArray[np.float64], strength: NDArray[np.float64]
) -> NDArray[np.int64]:
    """Merge groups while that raises modularity; returns each group's merged label.

    The hierarchy's communities are found at a resolution that prefers small
    ones, so one community of the graph may be several groups, joined by
    many edges; merging them back (rounds of mutual best pairs, ties to the
    lower label) measures the cut between the graph's communities. Merges
    only ever join groups with edges between them.
    """
    label = np.arange(len(strength), dtype=np.int64)
    total = float(strength.sum())
    for _ in range(MERGE_ROUNDS):
        keep = label[pairs[:, 0]] != label[pairs[:, 1]]
        if not keep.any():
            break
        unique, joined = _summed_pairs(label[pairs[keep]], weights[keep], len(strength))
        merged_strength = np.bincount(label, weights=strength, minlength=len(strength))
        gain = (
            joined / total
            - merged_strength[unique[:, 0]] * merged_strength[unique[:, 1]] / total**2
        )
        best = _best_partner(unique, gain, len(strength))
        mutual = np.flatnonzero((best >= 0) & (best[np.maximum(best, 0)] == np.arange(len(best))))
        lower = mutual[mutual < best[mutual]]
        if len(lower) == 0:
            break
        relabel = np.arange(len(strength), dtype=np.int64)
        relabel[best[lower]] = lower
        label = relabel[label]
    return label


def _summed_pairs(
    pairs: NDArray[np.int64], weights: NDArray[np.float64], n_labels: int
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """Each unordered pair of labels once, in increasing order, with its summed weight."""
    low = np.minimum(pairs[:, 0], pairs[:, 1])
    high = np.maximum(pairs[:, 0], pairs[:, 1])
    codes, inverse = np.unique(low * n_labels + high, return_inverse=True)
    summed = np.bincount(inverse.ravel(), weights=weights, minlength=len(codes))
    return np.stack([codes // n_labels, codes % n_labels], axis=1), summed


def _best_partner(
    unique: NDArray[np.int64], gain: NDArray[np.float64], n_labels: int
) -> NDArray[np.int64]:
    """For every label, the neighbour whose merge gains most (-1 for no gain); ties to the lower."""
    both = np.concatenate([unique, unique[:, ::-1]])
    both_gain = np.concatenate([gain, gain])
    # Sorted by label, then gain falling, then partner rising: the first row
    # of each label is its best partner.
    order = np.lexsort((both[:, 1], -both_gain, both[:, 0]))
    first = order[np.r_[True, np.diff(both[order, 0]) != 0]]
    best = np.full(n_labels, -1, dtype=np.int64)
    positive = both_gain[first] > 0.0
    best[both[first[positive], 0]] = both[first[positive], 1]
    return best


def largest_piece_share(levels: Sequence[Level]) -> float:
    """Share of the input nodes in the largest connected piece.

    Merging never joins two pieces, so the pieces of the coarsest level,
    found by propagating the lowest label along its few edges, are the
    graph's.
    """
    coarsest = levels[-1]
    members = np.bincount(_ancestors(levels)[-1], minlength=coarsest.n_nodes)
    label = np.arange(coarsest.n_nodes, dtype=np.int64)
    ends = coarsest.edges
    while len(ends):
        lowest = np.minimum(label[ends[:, 0]], label[ends[:, 1]])
        spread = label.copy()
        np.minimum.at(spread, ends[:, 0], lowest)
        np.minimum.at(spread, ends[:, 1], lowest)
        spread = spread[spread]  # each label points at a lower one: jump along
        if np.array_equal(spread, label):
            break
        label = spread
    sizes = np.bincount(label, weights=members, minlength=coarsest.n_nodes)
    return float(sizes.max()) / float(levels[0].n_nodes) if levels[0].n_nodes else 1.0


def choose_picture(levels: Sequence[Level], may_cluster: bool = True) -> str:
    """The picture a multilevel layout draws: "clustered", "faithful" or "pieces".

    Clustered where :func:`group_evidence` finds communities (unless
    ``may_cluster`` is False); else "pieces" when the largest connected
    piece holds under ``PIECES_SHARE`` of the nodes (faithful with strong
    gravity); else faithful.
    """
    if may_cluster and group_evidence(levels).clustered:
        return "clustered"
    return "pieces" if largest_piece_share(levels) < PIECES_SHARE else "faithful"
