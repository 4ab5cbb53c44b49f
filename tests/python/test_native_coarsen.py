"""The coarsening entry points of _native: merged graphs and hostile arguments."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2 import _native

N = 6
# Two triangles joined by a light edge.
EDGES = np.array([[0, 1], [1, 2], [2, 0], [3, 4], [4, 5], [5, 3], [2, 3]], dtype=np.int64)
WEIGHTS = np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 0.5])
MASS = np.full(N, 2.0)
GROUP = np.array([0, 0, 0, 3, 3, 5], dtype=np.int64)


def merged_arrays(result: tuple[int, bytearray, bytearray, bytearray]) -> tuple[Any, ...]:
    count, parent, pairs, weights = result
    return (
        count,
        np.frombuffer(parent, dtype=np.int64),
        np.frombuffer(pairs, dtype=np.int64).reshape(-1, 2),
        np.frombuffer(weights, dtype=np.float64),
    )


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_merge_groups_sums_the_edges_between_groups_as_unique_and_bincount_do(seed: int) -> None:
    rng = np.random.default_rng(seed)
    n = 50
    edges = rng.integers(0, n, (400, 2))  # self-loops, duplicates, both orientations
    weights = rng.integers(1, 5, 400).astype(np.float64)  # whole: sums exact in any order
    group = rng.integers(0, 20, n)
    count, parent, pairs, summed = merged_arrays(_native.merge_groups(n, edges, weights, group))
    distinct, expected_parent = np.unique(group, return_inverse=True)
    assert count == len(distinct)
    assert np.array_equal(parent, expected_parent)
    low = np.minimum(parent[edges[:, 0]], parent[edges[:, 1]])
    high = np.maximum(parent[edges[:, 0]], parent[edges[:, 1]])
    crossing = low != high
    keys, inverse = np.unique(low[crossing] * count + high[crossing], return_inverse=True)
    assert np.array_equal(pairs, np.stack([keys // count, keys % count], axis=1))
    assert np.array_equal(summed, np.bincount(inverse, weights=weights[crossing]))


def clique_ring(count: int, size: int) -> Any:
    """``count`` cliques of ``size`` nodes in a ring, one edge between neighbours."""
    pairs = [
        (c * size + i, c * size + j)
        for c in range(count)
        for i in range(size)
        for j in range(i + 1, size)
    ]
    pairs += [(c * size, ((c + 1) % count) * size + 1) for c in range(count)]
    return np.array(pairs, dtype=np.int64)


@pytest.mark.parametrize("seed", [0, 5])
def test_hierarchy_ends_with_one_node_per_clique_and_keeps_the_mass(seed: int) -> None:
    count, size = 30, 8
    edges = clique_ring(count, size)
    n = count * size
    mass = np.random.default_rng(seed).uniform(1.0, 3.0, n)
    levels = _native.hierarchy(n, edges, np.ones(len(edges)), mass, count, seed)
    member = np.arange(n)
    for level_count, parent, _, _, level_mass in levels:
        member = np.frombuffer(parent, dtype=np.int64)[member]
        total = np.frombuffer(level_mass, dtype=np.float64).sum()
        assert total == pytest.approx(mass.sum(), rel=1e-12)
        assert member.max() + 1 == level_count
    assert levels[-1][0] == count
    assert np.array_equal(member, member[np.arange(n) // size * size])
    again = _native.hierarchy(n, edges, np.ones(len(edges)), mass, count, seed)
    assert again == levels


Call = Callable[..., object]
CALLS: dict[str, Call] = {
    "hierarchy": lambda edges=EDGES, weights=WEIGHTS, n=N, **kw: _native.hierarchy(
        n, edges, weights, kw.get("mass", MASS), kw.get("coarsest", 1), kw.get("seed", 0)
    ),
    "merge_groups": lambda edges=EDGES, weights=WEIGHTS, n=N, **kw: _native.merge_groups(
        n, edges, weights, kw.get("group", GROUP)
    ),
}

HOSTILE_SHARED: list[tuple[dict[str, Any], type[Exception], str]] = [
    ({"edges": EDGES.astype(np.uint32)}, TypeError, r"edges must be an \(m, 2\) int64 array"),
    ({"edges": EDGES.ravel()}, TypeError, "edges must be"),
    ({"edges": np.zeros((2, 3), dtype=np.int64)}, ValueError, "edges must have 2 columns, not 3"),
    ({"edges": np.array([[0, 6]])}, ValueError, r"edges\[0, 1\] is 6, not a node index below"),
    ({"edges": np.array([[-1, 0]])}, ValueError, r"edges\[0, 0\] is -1"),
    ({"weights": WEIGHTS[:3]}, ValueError, "weights has 3 entries but needs one per edge"),
    ({"weights": WEIGHTS.astype(np.float32)}, TypeError, "weights must be a 1-D float64"),
    ({"weights": np.where(WEIGHTS > 3, np.nan, WEIGHTS)}, ValueError, r"weights\[3\] is nan"),
    ({"weights": -WEIGHTS}, ValueError, r"weights\[0\] is -1.0+; it must be >= 0"),
    ({"n": -1}, ValueError, "n_nodes must be between 0 and 4294967294, not -1"),
    ({"n": 2**32}, ValueError, "n_nodes must be between 0 and 4294967294"),
    ({"n": 2**70}, OverflowError, "cannot fit"),
    ({"n": "6"}, TypeError, "n_nodes"),
]

HOSTILE_OWN: list[tuple[str, dict[str, Any], type[Exception], str]] = [
    ("hierarchy", {"mass": np.zeros(N)}, ValueError, r"mass\[0\] is 0.0+; it must be > 0"),
    ("hierarchy", {"mass": MASS[:2]}, ValueError, "mass has 2 entries but needs one per node"),
    ("hierarchy", {"mass": MASS.astype(np.float32)}, TypeError, "mass must be a 1-D float64"),
    ("hierarchy", {"coarsest": -1}, ValueError, "coarsest_nodes must be between 0 and"),
    ("hierarchy", {"seed": -1}, OverflowError, "negative"),
    ("hierarchy", {"seed": 1.5}, TypeError, "seed"),
    ("merge_groups", {"group": GROUP.astype(np.int32)}, TypeError, "group must be a 1-D int64"),
    ("merge_groups", {"group": GROUP[:-1]}, ValueError, "group has 5 entries"),
    ("merge_groups", {"group": -GROUP}, ValueError, r"group\[3\] is -3, not a node index"),
]


@pytest.mark.parametrize("entry", list(CALLS))
@pytest.mark.parametrize(
    ("change", "error", "match"), HOSTILE_SHARED, ids=[str(c) for c, _, _ in HOSTILE_SHARED]
)
def test_hostile_shared_arguments_raise_clear_errors(
    entry: str, change: dict[str, Any], error: type[Exception], match: str
) -> None:
    with pytest.raises(error, match=match):
        CALLS[entry](**change)


@pytest.mark.parametrize(
    ("entry", "change", "error", "match"),
    HOSTILE_OWN,
    ids=[f"{e}-{c}" for e, c, _, _ in HOSTILE_OWN],
)
def test_hostile_own_arguments_raise_clear_errors(
    entry: str, change: dict[str, Any], error: type[Exception], match: str
) -> None:
    with pytest.raises(error, match=match):
        CALLS[entry](**change)


@pytest.mark.parametrize("entry", list(CALLS))
def test_binding_follows_the_interpreters_rules(entry: str) -> None:
    function = getattr(_native, entry)
    with pytest.raises(TypeError, match=rf"{entry}\(\) missing"):
        function(N)
    with pytest.raises(TypeError, match=rf"{entry}\(\) got an unexpected keyword argument 'x'"):
        function(N, EDGES, WEIGHTS, x=1)


@pytest.mark.parametrize("entry", list(CALLS))
def test_no_nodes_and_no_edges_are_fine(entry: str) -> None:
    empty = np.empty((0, 2), dtype=np.int64)
    kw = {"mass": np.empty(0), "group": np.empty(0, dtype=np.int64)}
    CALLS[entry](edges=empty, weights=np.empty(0), n=0, **kw)
