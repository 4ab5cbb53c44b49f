"""networkx: forceatlas2_layout, and dispatch to the "tallow" backend."""

from __future__ import annotations

import os
import subprocess
import sys
from importlib.metadata import entry_points
from typing import Any

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import forceatlas2_layout, layout
from tallow_forceatlas2.nx.backend import backend_info, can_run

NX_DISPATCHES_LAYOUTS = tuple(int(p) for p in nx.__version__.split(".")[:2]) >= (3, 5)
needs_dispatch = pytest.mark.skipif(
    not NX_DISPATCHES_LAYOUTS, reason="networkx dispatches layouts from 3.5 on"
)


def weighted_graph() -> nx.Graph:
    graph = nx.les_miserables_graph()  # string labels, "weight" on every edge
    graph.add_edge(("a", 1), frozenset({"b"}))  # odd hashable labels, no weight
    return graph


def test_forceatlas2_layout_maps_every_node_to_its_row() -> None:
    graph = weighted_graph()
    pos = forceatlas2_layout(graph, iterations=20, seed=4)
    rows = layout(graph, iterations=20, seed=4)
    assert list(pos) == list(graph)
    assert all(
        isinstance(xy, np.ndarray) and xy.dtype == np.float64 and xy.shape == (2,)
        for xy in pos.values()
    )
    assert np.array_equal(np.array(list(pos.values())), rows)


def test_forceatlas2_layout_weight_attribute_or_none() -> None:
    graph = weighted_graph()
    weighted = forceatlas2_layout(graph, iterations=20)
    plain = forceatlas2_layout(graph, weight=None, iterations=20)
    assert not np.array_equal(np.array(list(weighted.values())), np.array(list(plain.values())))
    for u, v in graph.edges():
        graph.edges[u, v]["w"] = 1
    same = forceatlas2_layout(graph, weight="w", iterations=20)
    assert np.array_equal(np.array(list(same.values())), np.array(list(plain.values())))


def test_forceatlas2_layout_starts_from_pos() -> None:
    graph = nx.cycle_graph(["p", "q", "r"])
    start = {"p": (1.0, 0.0), "q": (0.0, 1.0), "r": (-1.0, -1.0)}
    out = forceatlas2_layout(graph, pos=start, iterations=0)
    assert {k: v.tolist() for k, v in out.items()} == {k: list(v) for k, v in start.items()}


def test_backend_is_registered_through_entry_points() -> None:
    assert [ep.value for ep in entry_points(group="networkx.backends", name="tallow")] == [
        "tallow_forceatlas2.nx.backend:BackendInterface"
    ]
    assert [ep.value for ep in entry_points(group="networkx.backend_info", name="tallow")] == [
        "tallow_forceatlas2.nx.backend:backend_info"
    ]
    assert "forceatlas2_layout" in backend_info()["functions"]


# networkx keyword, value, and the same setting in this package's terms.
MAPPED = [
    ({}, {}),
    ({"max_iter": 7}, {"iterations": 7}),
    ({"scaling_ratio": 5.0}, {"scaling_ratio": 5.0}),
    ({"gravity": 0.2}, {"gravity": 0.2}),
    ({"distributed_action": True}, {"dissuade_hubs": True}),
    ({"strong_gravity": True}, {"strong_gravity": True}),
    ({"linlog": True}, {"lin_log": True}),
    ({"weight": "weight"}, {"weight": "weight"}),
    ({"threads": 2, "barnes_hut": True}, {"threads": 2, "barnes_hut": True}),
]


@needs_dispatch
@pytest.mark.parametrize(("nx_kwargs", "ours"), MAPPED, ids=lambda d: ",".join(d) or "defaults")
def test_dispatch_maps_networkx_parameters(nx_kwargs: dict[str, Any], ours: dict[str, Any]) -> None:
    graph = weighted_graph()
    got = nx.forceatlas2_layout(graph, seed=11, backend="tallow", **nx_kwargs)
    # networkx hands the backend seed 11 as RandomState(11); its defaults are
    # 100 iterations, scaling 2, plain gravity 1, unweighted.
    expected = layout(
        graph,
        seed=np.random.RandomState(11),
        **{
            "iterations": 100,
            "scaling_ratio": 2.0,
            "gravity": 1.0,
            "strong_gravity": False,
            "weight": None,
            **ours,
        },
    )
    assert list(got) == list(graph)
    assert np.array_equal(np.array(list(got.values())), expected)


@needs_dispatch
def test_dispatch_stores_positions_and_takes_initial_positions() -> None:
    graph = nx.path_graph(4)
    start = {0: [0.0, 0.0], 1: [1.0, 0.0], 2: [2.0, 0.0], 3: [3.0, 1.0]}
    got = nx.forceatlas2_layout(graph, pos=start, max_iter=0, store_pos_as="xy", backend="tallow")
    assert {n: graph.nodes[n]["xy"].tolist() for n in graph} == start
    assert {n: xy.tolist() for n, xy in got.items()} == start


@needs_dispatch
@pytest.mark.parametrize(
    "declined",
    [
        {"dim": 3},
        {"jitter_tolerance": 0.5},
    ],
    ids=lambda d: next(iter(d)),
)
def test_dispatch_declines_what_it_cannot_honour_and_names_it(declined: dict[str, Any]) -> None:
    graph = nx.path_graph(3)
    with pytest.raises(NotImplementedError) as raised:
        nx.forceatlas2_layout(graph, backend="tallow", **declined)
    # networkx keeps the backend's own error, naming the argument, as the cause.
    cause = raised.value.__cause__ if raised.value.__cause__ is not None else raised.value
    name, value = next(iter(declined.items()))
    assert f"{name}={value!r} is not supported" in str(cause)
    assert can_run("forceatlas2_layout", (graph,), {"max_iter": 3}) is True
    assert isinstance(can_run("spring_layout", (graph,), {}), str)


@needs_dispatch
def test_repeated_dispatch_on_one_graph_is_quiet() -> None:
    graph = nx.karate_club_graph()
    first = nx.forceatlas2_layout(graph, max_iter=5, seed=2, backend="tallow")
    # Warnings are errors here: networkx's note about a cached conversion would fail.
    second = nx.forceatlas2_layout(graph, max_iter=5, seed=2, backend="tallow")
    assert all(np.array_equal(first[n], second[n]) for n in graph)


@needs_dispatch
def test_dispatch_honours_node_mass_and_node_size() -> None:
    graph = nx.star_graph(8)
    sizes = {node: 3.0 for node in graph}
    masses = {0: 40.0}
    got = nx.forceatlas2_layout(
        graph, node_size=sizes, node_mass=masses, max_iter=300, seed=1, backend="tallow"
    )
    # networkx hands seed 1 as RandomState(1) and has plain gravity 1, unweighted.
    expected = layout(
        graph,
        node_size=sizes,
        node_mass=masses,
        iterations=300,
        seed=np.random.RandomState(1),
        strong_gravity=False,
        gravity=1.0,
        weight=None,
    )
    assert np.array_equal(np.array(list(got.values())), expected)
    assert can_run("forceatlas2_layout", (graph,), {"node_mass": masses}) is True


@needs_dispatch
def test_networkx_layout_tests_pass_with_this_backend(tmp_path: Any) -> None:
    # networkx's own layout tests, with every forceatlas2_layout call dispatched
    # here and everything else falling back to networkx; its debug log shows
    # which calls this backend ran.
    env = {
        **os.environ,
        "NETWORKX_TEST_BACKEND": "tallow",
        "NETWORKX_FALLBACK_TO_NX": "True",
    }
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "--pyargs",
            "networkx.drawing.tests.test_layout",
            "-o",
            "log_cli=true",
            "--log-cli-level=DEBUG",
        ],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    summary = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    assert result.returncode == 0, summary + result.stderr[-3000:]
    assert " passed" in summary and "failed" not in summary
    assert result.stdout.count("Using backend 'tallow' for call to 'forceatlas2_layout'") >= 5
