"""Measures of how truthfully a picture (n x 2 positions) shows a graph.

Every measure samples with a fixed seed, so that two methods are measured on
the same nodes and pairs. None needs the picture aligned, rotated or scaled to
anything: they compare distances within the picture only.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp  # type: ignore[import-untyped]
from numpy.typing import NDArray
from quality import community_share

__all__ = [
    "adjacency",
    "branch_separation",
    "clumping",
    "community_share",
    "neighbourhood_preservation",
    "one_piece",
    "stress",
    "truth_spearman",
]

SEED = 12345
BALL = 10
BALL_SAMPLES = 1000
STRESS_SOURCES = 32
TRUTH_PAIRS = 20_000
BRANCH_PAIRS = 2000
PIECE_MIN_COMPONENT = 50
PIECE_GAP = 4.0
PIECE_MIN_SHARE = 0.05

Positions = NDArray[np.float64]


def adjacency(n: int, edges: NDArray[np.uint32]) -> sp.csr_array:
    """The symmetric 0/1 adjacency matrix in CSR form."""
    ones = np.ones(2 * len(edges), dtype=np.int8)
    rows = np.concatenate([edges[:, 0], edges[:, 1]])
    cols = np.concatenate([edges[:, 1], edges[:, 0]])
    return sp.csr_array((ones, (rows, cols)), shape=(n, n))


def _sample(n: int, count: int, salt: int) -> NDArray[np.int64]:
    rng = np.random.default_rng(SEED + salt)
    return np.sort(rng.choice(n, size=min(n, count), replace=False))


def _neighbours(graph: sp.csr_array, frontier: NDArray[np.int64]) -> NDArray[np.int64]:
    """All neighbours of the frontier nodes (with repeats), gathered at once."""
    start = graph.indptr[frontier]
    length = graph.indptr[frontier + 1] - start
    offset = np.repeat(start - np.cumsum(length) + length, length) + np.arange(length.sum())
    return np.asarray(graph.indices[offset], dtype=np.int64)


def _bfs_ball(graph: sp.csr_array, source: int, size: int) -> NDArray[np.int64]:
    """The nodes within graph distance r of source (itself left out), for the
    smallest r that gives at least ``size`` of them, or the whole component."""
    seen = {source}
    frontier = np.array([source], dtype=np.int64)
    ball: list[NDArray[np.int64]] = []
    count = 0
    while count < size and len(frontier):
        layer = np.unique(_neighbours(graph, frontier))
        layer = layer[[v not in seen for v in layer.tolist()]]
        seen.update(layer.tolist())
        ball.append(layer)
        count += len(layer)
        frontier = layer
    return np.concatenate(ball) if ball else frontier[:0]


def neighbourhood_preservation(pos: Positions, graph: sp.csr_array) -> float:
    """Mean share of a node's graph neighbourhood that is also its picture
    neighbourhood, over BALL_SAMPLES sampled nodes.

    The graph neighbourhood is the BFS ball: every node within graph
    distance r, r the smallest radius that holds at least BALL (10) nodes
    (whole layers, so no tie is broken arbitrarily). The picture
    neighbourhood is the same number of nodes nearest in the picture. 1 is
    perfect; a random picture scores about ball size / n.
    """
    from scipy.spatial import cKDTree  # type: ignore[import-untyped]

    tree = cKDTree(pos)
    shares = []
    for v in _sample(len(pos), BALL_SAMPLES, 1).tolist():
        ball = _bfs_ball(graph, v, BALL)
        if len(ball) == 0:
            continue
        _, near = tree.query(pos[v], k=len(ball) + 1)
        near = np.atleast_1d(near)
        near = near[near != v][: len(ball)]  # v itself, where it comes
        shares.append(len(np.intersect1d(near, ball)) / len(ball))
    return float(np.mean(shares))


def stress(pos: Positions, graph: sp.csr_array) -> float:
    """Normalized stress on the pairs (s, t) from STRESS_SOURCES sampled
    sources s to every node t of its component.

    With d the graph distance (BFS), x the picture distance and weights
    w = 1/d^2, the picture is first scaled by the best alpha = sum(w d x) /
    sum(w x^2); stress = sum(w (alpha x - d)^2) / sum(w d^2). 0 is perfect;
    a picture that collapses to a point scores 1.
    """
    from scipy.sparse.csgraph import shortest_path  # type: ignore[import-untyped]

    sources = _sample(len(pos), STRESS_SOURCES, 2)
    d = shortest_path(graph, directed=False, unweighted=True, indices=sources)
    s, t = np.nonzero(np.isfinite(d) & (d > 0))
    d = d[s, t]
    x = np.linalg.norm(pos[sources[s]] - pos[t], axis=1)
    w = 1.0 / d**2
    alpha = np.sum(w * d * x) / max(np.sum(w * x * x), 1e-300)
    return float(np.sum(w * (alpha * x - d) ** 2) / np.sum(w * d * d))


def truth_spearman(pos: Positions, truth: NDArray[np.float64]) -> float:
    """Spearman rank correlation of true against drawn distances over
    TRUTH_PAIRS random node pairs: 1 when the picture orders every distance
    as the true geometry does. True distances are taken in the truth's own
    dimensions (20 for the 20-dimensional point cloud)."""
    from scipy.stats import spearmanr  # type: ignore[import-untyped]

    rng = np.random.default_rng(SEED + 3)
    a = rng.integers(0, len(pos), TRUTH_PAIRS)
    b = rng.integers(0, len(pos), TRUTH_PAIRS)
    keep = a != b
    a, b = a[keep], b[keep]
    true = np.linalg.norm(truth[a] - truth[b], axis=1)
    drawn = np.linalg.norm(pos[a] - pos[b], axis=1)
    return float(spearmanr(true, drawn).statistic)


def _nearest_distance(pos: Positions) -> NDArray[np.float64]:
    from scipy.spatial import cKDTree

    distance, _ = cKDTree(pos).query(pos, k=2)
    return np.asarray(distance[:, 1], dtype=np.float64)


def clumping(pos: Positions, graph: sp.csr_array) -> float:
    """Median nearest-neighbour distance among the nodes of the largest
    connected component over the spacing sqrt(A / n) of its n nodes spread
    evenly on a square lattice over their convex hull area A.

    A lattice scores 1, uniform random points about 0.47; a picture that
    gathers its nodes into knots with empty space between scores far less.
    Only the largest component counts because small pieces may drift far
    from the rest (isolated nodes under classic gravity, the 20 separate
    clusters of a kNN graph): their hull would read as empty space.
    """
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import ConvexHull, QhullError

    _, component = connected_components(graph, directed=False)
    points = pos[component == np.argmax(np.bincount(component))]
    try:
        area = ConvexHull(points).volume  # a 2-d hull's volume is its area
    except QhullError:  # fewer than 3 points, or all on a line
        return 0.0
    return float(np.median(_nearest_distance(points)) / np.sqrt(area / len(points)))


def _picture_pieces(points: Positions, gap: float) -> NDArray[np.int32]:
    """Single-linkage pieces at distance gap: the components of the
    Delaunay edges no longer than gap (the Euclidean minimum spanning tree,
    which single linkage cuts, lies within the Delaunay triangulation)."""
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import Delaunay, QhullError, cKDTree

    try:
        tri = Delaunay(points)
        simplices = tri.simplices
        a = np.concatenate([simplices[:, 0], simplices[:, 1], simplices[:, 2], tri.coplanar[:, 0]])
        b = np.concatenate([simplices[:, 1], simplices[:, 2], simplices[:, 0], tri.coplanar[:, 2]])
    except QhullError:  # degenerate (collinear) drawings: pairs within the gap
        pairs = cKDTree(points).query_pairs(gap, output_type="ndarray")
        a, b = pairs[:, 0], pairs[:, 1]
    short = np.linalg.norm(points[a] - points[b], axis=1) <= gap
    links = sp.coo_array((np.ones(short.sum()), (a[short], b[short])), shape=(len(points),) * 2)
    _, label = connected_components(links, directed=False)
    return np.asarray(label, dtype=np.int32)


def one_piece(pos: Positions, graph: sp.csr_array) -> tuple[int, int]:
    """How many connected components of PIECE_MIN_COMPONENT (50) nodes or
    more are drawn as one piece, and how many there are.

    A component's drawing is cut into pieces by single linkage at PIECE_GAP
    (4) times the median drawn length of its edges; it is one piece when
    exactly one piece holds at least PIECE_MIN_SHARE (5 %) of its nodes
    (smaller specks are not counted). The gap is measured in edge lengths,
    not nearest-neighbour distances, because a truthful tree drawing puts
    sibling leaves much closer together than the edges joining its branches.
    Trees stay a hard case: their edges near the root must be longer than
    those near the leaves, so even good tree drawings may count as torn.
    """
    from scipy.sparse.csgraph import connected_components

    _, component = connected_components(graph, directed=False)
    sizes = np.bincount(component)
    u, v = graph.nonzero()
    length = np.linalg.norm(pos[u] - pos[v], axis=1)
    whole = 0
    large = np.flatnonzero(sizes >= PIECE_MIN_COMPONENT)
    for c in large.tolist():
        members = np.flatnonzero(component == c)
        drawn = length[(component[u] == c) & (length > 0)]
        gap = PIECE_GAP * (float(np.median(drawn)) if len(drawn) else 1.0)
        pieces = np.bincount(_picture_pieces(pos[members], gap))
        whole += int(np.sum(pieces >= PIECE_MIN_SHARE * len(members)) == 1)
    return whole, len(large)


def branch_separation(pos: Positions, branch: NDArray[np.int64]) -> float:
    """The worst depth-3 branch of the binary tree: the largest ratio, over
    the 8 branches, of the mean distance between two of its nodes to the
    mean distance from one of its nodes to a node of another branch (on
    BRANCH_PAIRS random pairs each). At most 0.5 means every branch sits in
    a region of its own."""
    rng = np.random.default_rng(SEED + 4)
    worst = 0.0
    for b in range(int(branch.max()) + 1):
        inside = np.flatnonzero(branch == b)
        outside = np.flatnonzero((branch >= 0) & (branch != b))
        p, q = rng.choice(inside, (2, BRANCH_PAIRS))
        r = rng.choice(outside, BRANCH_PAIRS)
        within = np.linalg.norm(pos[p] - pos[q], axis=1).mean()
        across = np.linalg.norm(pos[p] - pos[r], axis=1).mean()
        worst = max(worst, float(within / across))
    return worst
