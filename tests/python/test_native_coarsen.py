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


def test_coarsen_level_pairs_only_inside_labels_and_repeats_for_a_seed() -> None:
    label = np.array([0, 0, 0, 1, 1, 1], dtype=np.int64)
    result = merged_arrays(_native.coarsen_level(N, EDGES, WEIGHTS, MASS, label, 3, 3))
    parent = result[1]
    assert parent.max() < N - 1  # something merged
    for coarse in range(parent.max() + 1):
        assert len(np.unique(label[parent == coarse])) == 1
    again = merged_arrays(_native.coarsen_level(N, EDGES, WEIGHTS, MASS, label, 3, 3))
    assert all(np.array_equal(a, b) for a, b in zip(result, again, strict=True))


def test_communities_label_two_triangles_joined_by_one_edge() -> None:
    found = np.frombuffer(_native.communities(N, EDGES, WEIGHTS, 1.0, 0), dtype=np.int64)
    assert np.array_equal(found, [0, 0, 0, 1, 1, 1])


Call = Callable[..., object]
CALLS: dict[str, Call] = {
    "communities": lambda edges=EDGES, weights=WEIGHTS, n=N, **kw: _native.communities(
        n, edges, weights, kw.get("resolution", 1.0), kw.get("seed", 0)
    ),
    "coarsen_level": lambda edges=EDGES, weights=WEIGHTS, n=N, **kw: _native.coarsen_level(
        n,
        edges,
        weights,
        kw.get("mass", MASS),
        kw.get("label"),
        kw.get("seed", 0),
        kw.get("rounds", 3),
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
    ("communities", {"resolution": 0.0}, ValueError, "resolution must be finite and > 0"),
    ("communities", {"resolution": float("nan")}, ValueError, "resolution must be finite"),
    ("communities", {"seed": -1}, OverflowError, "negative"),
    ("communities", {"seed": 1.5}, TypeError, "seed"),
    ("coarsen_level", {"mass": np.zeros(N)}, ValueError, r"mass\[0\] is 0.0+; it must be > 0"),
    ("coarsen_level", {"mass": MASS[:2]}, ValueError, "mass has 2 entries but needs one per node"),
    ("coarsen_level", {"label": np.full(N, N)}, ValueError, r"label\[0\] is 6, not a node index"),
    ("coarsen_level", {"label": GROUP[:-1]}, ValueError, "label has 5 entries"),
    ("coarsen_level", {"rounds": 1001}, ValueError, "rounds must be between 0 and 1000"),
    ("merge_groups", {"group": GROUP.astype(np.int32)}, TypeError, "group must be a 1-D int64"),
    ("merge_groups", {"group": -GROUP}, ValueError, r"group\[1\] is 0|group\[3\] is -3"),
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
