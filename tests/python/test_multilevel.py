"""Multilevel layout: same bits for every thread count and seed, sound coarsening."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from numpy.typing import NDArray
from scipy.sparse import coo_array
from scipy.sparse.csgraph import connected_components
from tallow_forceatlas2.multilevel import finest_level, hierarchy, multilevel_layout
from tallow_forceatlas2.multilevel import run as multilevel_run
from tallow_forceatlas2.settings import kernel_settings


def communities_graph(n: int, groups: int, seed: int = 3) -> NDArray[np.uint32]:
    """Average degree 8, three quarters of the edges inside a group."""
    rng = np.random.default_rng(seed)
    group = np.arange(n) % groups
    m = 4 * n
    sources = rng.integers(0, n, m)
    inside = rng.random(m) < 0.75
    targets = np.where(
        inside, (sources + groups * rng.integers(1, n // groups, m)) % n, rng.integers(0, n, m)
    )
    keep = (sources != targets) & ((group[sources] == group[targets]) | ~inside)
    return np.stack([sources[keep], targets[keep]], axis=1).astype(np.uint32)


def star(n: int) -> NDArray[np.uint32]:
    return np.stack([np.zeros(n - 1), np.arange(1, n)], axis=1).astype(np.uint32)


def path(n: int) -> NDArray[np.uint32]:
    return np.stack([np.arange(n - 1), np.arange(1, n)], axis=1).astype(np.uint32)


def components(n: int) -> NDArray[np.uint32]:
    """Triangles, pairs and single nodes side by side."""
    triangles = np.arange(0, n // 2 - n // 2 % 3).reshape(-1, 3)
    edges = np.concatenate(
        [triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]]
        + [np.arange(n // 2, n - n // 4).reshape(-1, 2)]
    )
    return edges.astype(np.uint32)


SHAPES = {
    "one node": (1, np.empty((0, 2), dtype=np.uint32)),
    "no edges": (500, np.empty((0, 2), dtype=np.uint32)),
    "components": (1200, components(1200)),
    "star": (2000, star(2000)),
    "path": (3000, path(3000)),
    "self-loops and duplicates": (
        400,
        np.concatenate([path(400), path(400), np.stack([np.arange(400)] * 2, axis=1)]).astype(
            np.uint32
        ),
    ),
    "communities": (4000, communities_graph(4000, 10)),
}


@pytest.fixture
def quick(monkeypatch: pytest.MonkeyPatch) -> None:
    """Few iterations per level: the tests check bits and shapes, not pictures."""
    monkeypatch.setattr(multilevel_run, "COARSEST_ITERATIONS", 20)
    monkeypatch.setattr(multilevel_run, "LEVEL_ITERATIONS", 5)


def run(
    n: int, edges: NDArray[np.uint32], *, seed: int = 0, threads: int = 1, **chosen: object
) -> NDArray[np.float64]:
    settings = kernel_settings(n, chosen)
    return multilevel_layout(n, edges, None, settings, seed=seed, threads=threads, iterations=5)


@pytest.mark.usefixtures("quick")
@pytest.mark.parametrize("threads", [2, 3], ids=lambda t: f"threads={t}")
@pytest.mark.parametrize("lin_log", [False, True], ids=lambda x: f"lin_log={x}")
def test_same_bits_for_every_thread_count(threads: int, lin_log: bool) -> None:
    n, edges = SHAPES["communities"]
    assert np.array_equal(
        run(n, edges, threads=threads, lin_log=lin_log), run(n, edges, threads=1, lin_log=lin_log)
    )


@pytest.mark.usefixtures("quick")
@pytest.mark.parametrize("shape", ["communities", "star", "components"])
def test_a_seed_gives_the_same_bits_and_another_seed_other_ones(shape: str) -> None:
    n, edges = SHAPES[shape]
    first = run(n, edges, seed=7)
    assert np.array_equal(first, run(n, edges, seed=7))
    assert not np.array_equal(first, run(n, edges, seed=8))


@pytest.mark.usefixtures("quick")
@pytest.mark.parametrize("shape", list(SHAPES))
def test_every_shape_goes_through_every_level(shape: str) -> None:
    n, edges = SHAPES[shape]
    positions = run(n, edges, threads=2)
    assert positions.shape == (n, 2)
    assert np.isfinite(positions).all()


def levels_of(shape: str, influence: float = 1.0) -> list:
    n, edges = SHAPES[shape]
    weights = np.random.default_rng(1).uniform(0.5, 2.0, len(edges))
    return hierarchy(finest_level(n, edges, weights, influence), np.random.default_rng(0), 50)


@pytest.mark.parametrize("shape", ["communities", "star", "path", "components"])
def test_coarsening_keeps_total_mass_and_weight(shape: str) -> None:
    levels = levels_of(shape)
    assert len(levels) >= (4 if shape in ("communities", "path") else 2)
    for finer, coarser in itertools.pairwise(levels):
        parent = coarser.parent
        assert np.array_equal(np.unique(parent), np.arange(coarser.n_nodes))
        assert coarser.mass.sum() == pytest.approx(finer.mass.sum(), rel=1e-12)
        assert coarser.strength.sum() == pytest.approx(finer.strength.sum(), rel=1e-12)
        crossing = parent[finer.edges[:, 0]] != parent[finer.edges[:, 1]]
        assert coarser.weights.sum() == pytest.approx(finer.weights[crossing].sum(), rel=1e-12)
        # Edges stay simple: smaller index first, no self-loop, no pair twice.
        keys = coarser.edges[:, 0] * coarser.n_nodes + coarser.edges[:, 1]
        assert (coarser.edges[:, 0] < coarser.edges[:, 1]).all()
        assert np.array_equal(keys, np.unique(keys))


def test_finest_level_masses_match_the_kernel_rule() -> None:
    edges = np.array([[0, 1], [1, 2], [2, 2], [0, 1]], dtype=np.uint32)
    weights = np.array([2.0, 3.0, 0.5, 4.0])
    level = finest_level(4, edges, weights, 2.0)
    assert np.array_equal(level.mass, [7.0, 10.0, 5.0, 1.0])  # self-loop counts twice
    assert np.array_equal(level.edges, [[0, 1], [1, 2]])
    assert np.array_equal(level.weights, [20.0, 9.0])  # 2**2 + 4**2, 3**2


@pytest.mark.parametrize("shape", ["no edges", "one node"])
def test_nothing_to_merge_ends_the_hierarchy(shape: str) -> None:
    assert len(levels_of(shape)) == 1


def purity(label: NDArray[np.int64], truth: NDArray[np.int64]) -> float:
    """Share of nodes in the most common true group of their label."""
    table = np.zeros((label.max() + 1, truth.max() + 1))
    np.add.at(table, (label, truth), 1)
    return float(table.max(axis=1).sum() / len(label))


@pytest.mark.parametrize("shape", ["components", "star", "path", "communities"])
def test_no_merged_node_spans_two_components(shape: str) -> None:
    n, edges = SHAPES[shape]
    levels = hierarchy(finest_level(n, edges, None, 1.0), np.random.default_rng(0), 50)
    graph = coo_array((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n))
    _, component = connected_components(graph, directed=False)
    member = np.arange(n)
    for level in levels[1:]:
        assert level.parent is not None
        member = level.parent[member]
        # Each merged node lies in one component: as many (node, component)
        # pairs as nodes.
        assert np.unique(np.stack([member, component]), axis=1).shape[1] == level.n_nodes


def test_the_coarsest_level_holds_whole_communities() -> None:
    levels = levels_of("communities")
    member = np.arange(levels[0].n_nodes)
    for level in levels[1:]:
        assert level.parent is not None
        member = level.parent[member]
    # One node per community found, each standing for one planted group
    # (random weights blur the groups a little; matching across them mixes
    # most nodes).
    assert 10 <= levels[-1].n_nodes <= 40
    assert purity(member, np.arange(levels[0].n_nodes) % 10) > 0.9


@pytest.mark.usefixtures("quick")
@pytest.mark.parametrize("where", ["input graph", "coarser levels"])
def test_tol_ends_settled_levels_after_five_steps(
    where: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    n, edges = SHAPES["communities"]
    settings = kernel_settings(n, {})
    if where == "input graph":
        stopped = multilevel_layout(n, edges, None, settings, iterations=30, tol=0.99)
        assert np.array_equal(stopped, multilevel_layout(n, edges, None, settings, iterations=5))
    else:
        stopped = multilevel_layout(n, edges, None, settings, iterations=5, level_tol=0.99)
        monkeypatch.setattr(multilevel_run, "COARSEST_ITERATIONS", 5)
        assert np.array_equal(stopped, multilevel_layout(n, edges, None, settings, iterations=5))
