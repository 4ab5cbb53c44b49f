"""layout() with node sizes, masses and pinned nodes, and incremental layouts."""

from __future__ import annotations

import re
from typing import Any

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import layout


def star(n_leaves: int = 15) -> nx.Graph:
    return nx.star_graph(n_leaves)


def degree_mass(graph: nx.Graph) -> dict[Any, float]:
    return {node: 1.0 + degree for node, degree in graph.degree()}


@pytest.mark.parametrize(
    "mass",
    [
        lambda g: degree_mass(g),
        lambda g: np.array(list(degree_mass(g).values())),
        lambda g: {},
        lambda g: "mass",
    ],
    ids=["mapping", "array", "empty-mapping", "attribute"],
)
def test_the_default_mass_given_in_any_form_gives_the_default_bits(mass: Any) -> None:
    graph = nx.les_miserables_graph()
    nx.set_node_attributes(graph, degree_mass(graph), "mass")
    expected = layout(graph, weight=None, iterations=50)
    assert np.array_equal(
        layout(graph, weight=None, iterations=50, node_mass=mass(graph)), expected
    )
    heavier = {node: 10.0 * value for node, value in degree_mass(graph).items()}
    assert not np.array_equal(
        layout(graph, weight=None, iterations=50, node_mass=heavier), expected
    )


@pytest.mark.parametrize("barnes_hut", [False, True], ids=["exact", "barnes-hut"])
def test_node_sizes_turn_on_overlap_prevention(barnes_hut: bool) -> None:
    graph = star()
    sizes = {node: 2.0 + (node % 3) for node in graph}
    positions = layout(graph, node_size=sizes, iterations=3000, barnes_hut=barnes_hut)
    radius = np.array([sizes[node] for node in graph])
    gaps = np.linalg.norm(positions[:, None] - positions[None], axis=2) + 1e9 * np.eye(len(graph))
    assert (gaps >= 0.95 * (radius[:, None] + radius[None])).all()


@pytest.mark.parametrize("threads", [1, 2, 3], ids=lambda t: f"threads={t}")
@pytest.mark.parametrize("fixed", [{0, 3, 5}, "pinned"], ids=["set", "attribute"])
def test_pinned_nodes_keep_their_float32_start(threads: int, fixed: Any) -> None:
    graph = nx.les_miserables_graph()
    names = list(graph)
    pinned = {names[0], names[3], names[5]}
    fixed = {names[i] for i in fixed} if isinstance(fixed, set) else fixed
    nx.set_node_attributes(graph, {node: node in pinned for node in graph}, "pinned")
    start = nx.circular_layout(graph, scale=20)
    positions = layout(graph, pos=start, fixed=fixed, iterations=200, threads=threads)
    for node in pinned:
        row = positions[names.index(node)]
        assert np.array_equal(row, np.float32(start[node]).astype(np.float64))
    assert np.array_equal(positions, layout(graph, pos=start, fixed=fixed, iterations=200))


def test_a_graph_grown_by_ten_percent_keeps_its_picture() -> None:
    rng = np.random.default_rng(4)
    old = nx.connected_caveman_graph(20, 10)
    before = dict(zip(old, layout(old, iterations=500)))
    grown = old.copy()
    for k in range(len(old) // 10):
        # New members join a cave: two friends within one cave of ten.
        cave = int(rng.integers(20)) * 10
        friends = cave + rng.choice(10, 2, replace=False)
        grown.add_edges_from((f"new{k}", int(friend)) for friend in friends)
    after = layout(grown, pos=before, fixed=set(old), iterations=200)
    index = {node: i for i, node in enumerate(grown)}
    assert all(np.array_equal(after[index[n]], np.float32(before[n]).astype(float)) for n in old)

    def mean_length(edges: list[tuple[Any, Any]]) -> float:
        return float(np.mean([np.linalg.norm(after[index[a]] - after[index[b]]) for a, b in edges]))

    new_edges = [
        edge for edge in grown.edges if isinstance(edge[0], str) or isinstance(edge[1], str)
    ]
    old_edges = list(old.edges)
    assert mean_length(new_edges) < 1.5 * mean_length(old_edges)


BAD = [
    ({"node_size": [1.0, 2.0]}, ValueError, "node_size must have shape (4,)"),
    ({"node_size": [1.0, np.nan, 1.0, 1.0]}, ValueError, "node_size of node 1 is NaN"),
    ({"node_size": [1.0, -1.0, 1.0, 1.0]}, ValueError, "node_size of node 1 is -1.0"),
    ({"node_mass": {2: 0.0}}, ValueError, "node_mass of node 2 is 0.0"),
    ({"node_mass": {9: 1.0}}, ValueError, "node_mass has a value for 9, which is not a node"),
    ({"node_mass": {1: "heavy"}}, TypeError, "node_mass of node 1 is 'heavy', not a number"),
    ({"node_mass": "mass"}, TypeError, "only networkx and igraph graphs"),
    ({"fixed": {7}}, ValueError, "fixed names 7, which is not a node"),
    ({"fixed": np.ones(3, dtype=bool)}, ValueError, "fixed must have shape (4,)"),
    ({"fixed": {1}}, ValueError, "node 1 is fixed but has no position in pos"),
    ({"fixed": 3}, TypeError, "fixed must be a collection of nodes"),
]


@pytest.mark.parametrize(("kwargs", "error", "message"), BAD, ids=lambda v: str(v)[:30])
def test_bad_per_node_values_are_clear_errors(
    kwargs: dict[str, Any], error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=re.escape(message)):
        layout(np.array([[0, 1], [1, 2], [2, 3]]), **kwargs)


def test_a_misspelt_attribute_warns_and_names_the_attributes_that_exist() -> None:
    graph = nx.path_graph(4)
    nx.set_node_attributes(graph, 2.0, "size")
    with pytest.warns(UserWarning, match=r"no node has the attribute 'sise'.*found: size"):
        layout(graph, node_size="sise", iterations=5)
