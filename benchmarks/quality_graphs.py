"""Graph families of the quality benchmark, each made deterministically from a seed.

A graph is named ``family`` or ``family:size`` (``grid:316``, ``rgg:100000``);
the presets in ``PRESETS`` give the usual sizes short names (``grid100``,
``rgg20k``). Every graph is simple and undirected: each edge once, as
``(u, v)`` with ``u < v``, no self-loops. Where the true geometry is known
(grids, geometric graphs, meshes, point clouds) ``truth`` holds each node's
true position, in as many dimensions as it has.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import quality  # the planted-partition and LFR generators of the first edition
from numpy.typing import NDArray

__all__ = [
    "DEFAULT_GRAPHS",
    "FAMILIES",
    "LARGE_GRAPHS",
    "PRESETS",
    "Graph",
    "make_graph",
    "resolve",
]

SEED = 1
GEOMETRIC_DEGREE = 10.0
ER_DEGREE = 8
BA_EDGES_PER_NODE = 4
KNN_NEIGHBOURS = 15
KNN_CLUSTERS = 20


@dataclass(frozen=True)
class Graph:
    """One benchmark graph and what is known about it.

    community: each node's community (planted, LFR, point-cloud cluster,
    karate club), or None. truth: true positions, shape (n, d), or None.
    branch: for the binary tree, the depth-3 subtree each node lies in
    (0..7), -1 for the nodes above depth 3; else None.
    """

    name: str
    family: str
    n_nodes: int
    edges: NDArray[np.uint32]
    community: NDArray[np.int64] | None = None
    truth: NDArray[np.float64] | None = None
    branch: NDArray[np.int64] | None = None


def simple_edges(a: NDArray[np.integer], b: NDArray[np.integer]) -> NDArray[np.uint32]:
    """Each undirected pair once, smaller end first, self-loops dropped."""
    lo = np.minimum(a, b).astype(np.int64)
    hi = np.maximum(a, b).astype(np.int64)
    keep = lo != hi
    pairs = np.unique(np.stack([lo[keep], hi[keep]], axis=1), axis=0)
    return pairs.astype(np.uint32)


# ---- meshes with known geometry --------------------------------------------


def grid(side: int) -> Graph:
    """A side x side square lattice; true positions are the lattice points."""
    index = np.arange(side * side).reshape(side, side)
    across = (index[:, :-1].ravel(), index[:, 1:].ravel())
    down = (index[:-1].ravel(), index[1:].ravel())
    edges = simple_edges(np.concatenate([across[0], down[0]]), np.concatenate([across[1], down[1]]))
    rows, cols = np.divmod(np.arange(side * side), side)
    truth = np.stack([cols, rows], axis=1).astype(np.float64)
    return Graph(f"grid{side}", "grid", side * side, edges, truth=truth)


def geometric(n: int) -> Graph:
    """Random geometric graph: n uniform points in the unit square, joined
    within the radius r that gives mean degree ~10 (n pi r^2 = 10, less at
    the border)."""
    from scipy.spatial import cKDTree  # type: ignore[import-untyped]

    points = np.random.default_rng(SEED).random((n, 2))
    radius = np.sqrt(GEOMETRIC_DEGREE / (np.pi * n))
    pairs = cKDTree(points).query_pairs(radius, output_type="ndarray")
    return Graph(f"rgg{n // 1000}k", "rgg", n, simple_edges(pairs[:, 0], pairs[:, 1]), truth=points)


def mesh(n: int) -> Graph:
    """The Delaunay triangulation of n uniform points in the unit square."""
    from scipy.spatial import Delaunay

    points = np.random.default_rng(SEED).random((n, 2))
    triangles = Delaunay(points).simplices
    a = triangles[:, [0, 1, 2]].ravel()
    b = triangles[:, [1, 2, 0]].ravel()
    return Graph(f"mesh{n // 1000}k", "mesh", n, simple_edges(a, b), truth=points)


# ---- trees -----------------------------------------------------------------


def binary_tree(depth: int) -> Graph:
    """A complete binary tree of the given depth (2^(depth+1) - 1 nodes),
    numbered as a heap; branch = the depth-3 subtree of each node."""
    n = 2 ** (depth + 1) - 1
    child = np.arange(1, n)
    edges = simple_edges((child - 1) // 2, child)
    level = np.floor(np.log2(np.arange(n) + 1)).astype(np.int64)
    shift = np.maximum(level - 3, 0)
    ancestor = ((np.arange(n) + 1) >> shift) - 1  # the depth-3 ancestor (or self)
    branch = np.where(level >= 3, ancestor - 7, -1)
    return Graph(f"tree{depth}", "tree", n, edges, branch=branch)


def random_tree(n: int) -> Graph:
    """A random recursive tree: node i joins a uniformly chosen earlier node."""
    rng = np.random.default_rng(SEED)
    child = np.arange(1, n)
    parent = (rng.random(n - 1) * child).astype(np.int64)
    return Graph(f"rtree{n // 1000}k", "rtree", n, simple_edges(parent, child))


# ---- community graphs ------------------------------------------------------


def planted(n: int) -> Graph:
    """quality.py's planted partition (degree 10, 70 % of edges inside)."""
    g = quality.planted_partition(n, SEED)
    edges = simple_edges(g.edges[:, 0], g.edges[:, 1])
    return Graph(f"planted{n // 1000}k", "planted", n, edges, community=g.community)


def lfr(n: int) -> Graph:
    """quality.py's LFR graph (mixing 0.3), cached under build/quality-cache."""
    g = quality.lfr(n)
    edges = simple_edges(g.edges[:, 0], g.edges[:, 1])
    return Graph(f"lfr{n // 1000}k", "lfr", g.n_nodes, edges, community=g.community)


# ---- graphs without structure ------------------------------------------------


def erdos_renyi(n: int) -> Graph:
    """G(n, m) with m = 4n draws (mean degree ~8; repeated pairs dropped)."""
    rng = np.random.default_rng(SEED)
    m = n * ER_DEGREE // 2
    edges = simple_edges(rng.integers(0, n, m), rng.integers(0, n, m))
    return Graph(f"er{n // 1000}k", "er", n, edges)


def barabasi_albert(n: int) -> Graph:
    """networkx's Barabasi-Albert graph, m = 4."""
    import networkx as nx

    g = nx.barabasi_albert_graph(n, BA_EDGES_PER_NODE, seed=SEED)
    e = np.array(g.edges(), dtype=np.int64)
    return Graph(f"ba{n // 1000}k", "ba", n, simple_edges(e[:, 0], e[:, 1]))


# ---- kNN graphs of clustered point clouds ------------------------------------


def knn_clusters(n: int, dimensions: int) -> Graph:
    """The k=15 nearest-neighbour graph (symmetrized) of n points in 20
    unit-variance Gaussian clusters whose centres are at least ~12 standard
    deviations apart; community = the cluster, truth = the points."""
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(SEED)
    if dimensions == 2:  # a jittered 5 x 4 lattice of centres, 14 apart
        lattice = np.stack(np.divmod(np.arange(KNN_CLUSTERS), 5), axis=1)
        centres = 14.0 * lattice + rng.uniform(-1, 1, (KNN_CLUSTERS, 2))
    else:  # random centres in a cube of side 20 lie ~36 apart in 20 dimensions
        centres = rng.uniform(0, 20, (KNN_CLUSTERS, dimensions))
    community = np.arange(n, dtype=np.int64) % KNN_CLUSTERS
    points = centres[community] + rng.standard_normal((n, dimensions))
    _, index = cKDTree(points).query(points, k=KNN_NEIGHBOURS + 1)
    source = np.repeat(np.arange(n), KNN_NEIGHBOURS)
    edges = simple_edges(source, index[:, 1:].ravel())
    name = f"knn{dimensions}d"
    return Graph(name, name, n, edges, community=community, truth=points)


# ---- real networks bundled with networkx -------------------------------------


def bundled(name: str) -> Graph:
    """A real network bundled with networkx, nodes numbered in its order;
    the karate club's two clubs are its communities."""
    import networkx as nx

    make = {
        "karate": nx.karate_club_graph,
        "lesmis": nx.les_miserables_graph,
        "florentine": nx.florentine_families_graph,
        "davis": nx.davis_southern_women_graph,
    }[name]
    g = make()
    number = {v: i for i, v in enumerate(g)}
    e = np.array([(number[u], number[v]) for u, v in g.edges()], dtype=np.int64)
    community = None
    if name == "karate":
        clubs = sorted({g.nodes[v]["club"] for v in g})
        community = np.array([clubs.index(g.nodes[v]["club"]) for v in g], dtype=np.int64)
    return Graph(name, "real", len(number), simple_edges(e[:, 0], e[:, 1]), community=community)


FAMILIES: dict[str, Callable[[int], Graph]] = {
    "grid": grid,
    "rgg": geometric,
    "mesh": mesh,
    "tree": binary_tree,
    "rtree": random_tree,
    "planted": planted,
    "lfr": lfr,
    "er": erdos_renyi,
    "ba": barabasi_albert,
    "knn2d": lambda n: knn_clusters(n, 2),
    "knn20d": lambda n: knn_clusters(n, 20),
}
REAL = ("karate", "lesmis", "florentine", "davis")

# name -> (family, size); the size is the side for grids, the depth for the
# binary tree, the node count otherwise.
PRESETS: dict[str, tuple[str, int]] = {
    "grid100": ("grid", 100),
    "grid316": ("grid", 316),
    "rgg20k": ("rgg", 20_000),
    "rgg100k": ("rgg", 100_000),
    "mesh20k": ("mesh", 20_000),
    "tree14": ("tree", 14),
    "rtree20k": ("rtree", 20_000),
    "planted10k": ("planted", 10_000),
    "planted100k": ("planted", 100_000),
    "lfr10k": ("lfr", 10_000),
    "lfr100k": ("lfr", 100_000),
    "er20k": ("er", 20_000),
    "ba20k": ("ba", 20_000),
    "knn2d": ("knn2d", 10_000),
    "knn20d": ("knn20d", 10_000),
}
DEFAULT_GRAPHS = (
    "grid100", "rgg20k", "mesh20k", "tree14", "rtree20k", "planted10k", "lfr10k",
    "er20k", "ba20k", "knn2d", "knn20d", *REAL,
)  # fmt: skip
LARGE_GRAPHS = ("grid316", "rgg100k", "planted100k", "lfr100k")


def resolve(wanted: str) -> tuple[str, int]:
    """The family and size a command-line graph name stands for: a preset,
    a real network's name (size 0) or ``family:size``; ValueError else."""
    if wanted in REAL:
        return wanted, 0
    family, _, size = wanted.partition(":")
    if not size and wanted in PRESETS:
        return PRESETS[wanted]
    if family in FAMILIES and size.isdigit() and int(size) > 0:
        return family, int(size)
    known = ", ".join([*PRESETS, *REAL, *(f"{f}:SIZE" for f in FAMILIES)])
    raise ValueError(f"unknown graph {wanted!r}; known: {known}")


def make_graph(wanted: str) -> Graph:
    """The graph a command-line name stands for (see resolve)."""
    family, size = resolve(wanted)
    return bundled(family) if family in REAL else FAMILIES[family](size)
