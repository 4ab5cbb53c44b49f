"""tallow_forceatlas2.layout: input types, determinism, settings and every user mistake."""

from __future__ import annotations

import re
from typing import Any

import networkx as nx
import numpy as np
import pytest
import scipy.sparse
import tallow_forceatlas2
from tallow_forceatlas2 import api, layout, prepare

# A small graph with two triangles joined by a bridge, a self-loop and a
# repeated edge: enough structure for every input path to matter.
EDGES = np.array([[0, 1], [1, 2], [2, 0], [2, 3], [3, 4], [4, 5], [5, 3], [5, 5], [0, 1]])
WEIGHTS = np.array([1.0, 2.0, 0.5, 1.0, 3.0, 1.0, 1.5, 1.0, 2.0])
N = 6
RUN: dict[str, Any] = {"iterations": 25, "seed": 3, "threads": 1}


def reference(edges: Any = EDGES, **kwargs: Any) -> np.ndarray:
    return layout(np.asarray(edges), **{**RUN, **kwargs})


@pytest.mark.parametrize(
    "dtype",
    [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64],
    ids=lambda d: np.dtype(d).name,
)
def test_any_integer_dtype_gives_the_same_layout(dtype: type) -> None:
    assert np.array_equal(layout(EDGES.astype(dtype), **RUN), reference())


def test_python_lists_and_non_contiguous_arrays_are_accepted() -> None:
    wide = np.zeros((len(EDGES), 4), dtype=np.int64)
    wide[:, ::2] = EDGES
    assert np.array_equal(layout(EDGES.tolist(), **RUN), reference())
    assert np.array_equal(layout(wide[:, ::2], **RUN), reference())


def test_networkx_graph_equals_its_edge_array() -> None:
    labels = ["a", (1, 2), 7, frozenset({1}), "e", 2.5]
    multi = nx.MultiGraph()
    multi.add_nodes_from(labels)
    for (u, v), w in zip(EDGES.tolist(), WEIGHTS):
        multi.add_edge(labels[u], labels[v], weight=w)
    index = {node: i for i, node in enumerate(multi)}
    order = np.array([(index[u], index[v]) for u, v in multi.edges()])
    weights = np.array([w for *_, w in multi.edges(data="weight")])
    assert np.array_equal(layout(multi, **RUN), reference(order, weights=weights))
    assert np.array_equal(layout(multi, weight=None, **RUN), reference(order))


def test_directed_networkx_graph_keeps_edge_direction() -> None:
    # Node order 1, 0, 2, 3: edges come out per source in that order.
    digraph = nx.DiGraph([(1, 0), (1, 2), (1, 3), (2, 3)])
    expected = [[0, 1], [0, 2], [0, 3], [2, 3]]
    reversed_edges = [[v, u] for u, v in expected]
    out = layout(digraph, dissuade_hubs=True, **RUN)
    assert np.array_equal(out, reference(expected, dissuade_hubs=True))
    assert not np.array_equal(out, reference(reversed_edges, dissuade_hubs=True))


def test_missing_networkx_weight_counts_as_one() -> None:
    graph = nx.Graph()
    graph.add_edge(0, 1, weight=4.0)
    graph.add_edge(1, 2)
    assert np.array_equal(layout(graph, **RUN), reference([[0, 1], [1, 2]], weights=[4.0, 1.0]))


def test_igraph_graph_equals_its_edge_array() -> None:
    igraph = pytest.importorskip("igraph")
    graph = igraph.Graph(n=N, edges=EDGES.tolist())
    assert np.array_equal(layout(graph, **RUN), reference())
    graph.es["weight"] = WEIGHTS.tolist()
    assert np.array_equal(layout(graph, **RUN), reference(weights=WEIGHTS))
    assert np.array_equal(layout(graph, weight=None, **RUN), reference())


@pytest.mark.parametrize(
    "make",
    [
        scipy.sparse.csr_matrix,
        scipy.sparse.csr_array,
        scipy.sparse.coo_array,
        scipy.sparse.lil_matrix,
    ],
    ids=lambda f: f.__name__,
)
def test_symmetric_sparse_matrix_gives_one_edge_per_pair(make: Any) -> None:
    dense = np.zeros((N, N))
    upper = [
        (0, 1, 2.0),
        (0, 2, 1.0),
        (1, 2, 0.5),
        (2, 3, 1.0),
        (3, 4, 3.0),
        (3, 5, 1.5),
        (4, 5, 1.0),
        (5, 5, 4.0),
    ]
    for i, j, w in upper:
        dense[i, j] = dense[j, i] = w
    edges = [(i, j) for i, j, _ in upper]
    weights = [w for *_, w in upper]
    assert np.array_equal(layout(make(dense), **RUN), reference(edges, weights=weights))
    assert np.array_equal(layout(make(dense), weight=None, **RUN), reference(edges))


def test_asymmetric_sparse_matrix_gives_one_edge_per_entry() -> None:
    matrix = scipy.sparse.coo_array(([1.0, 2.0, 3.0], ([2, 0, 1], [0, 1, 0])), shape=(3, 3))
    expected = reference([[0, 1], [1, 0], [2, 0]], weights=[2.0, 3.0, 1.0])
    assert np.array_equal(layout(matrix, **RUN), expected)


def test_n_nodes_adds_isolated_nodes_and_empty_graphs_work() -> None:
    assert layout(EDGES, n_nodes=9, **RUN).shape == (9, 2)
    assert layout(np.empty((0, 2), dtype=np.int64), **RUN).shape == (0, 2)
    assert layout([], n_nodes=3, **RUN).shape == (3, 2)
    assert layout(nx.Graph(), **RUN).shape == (0, 2)


def test_same_seed_same_layout_other_seed_other_layout() -> None:
    first, second = layout(EDGES, iterations=10), layout(EDGES, iterations=10)
    assert np.array_equal(first, second)
    assert not np.array_equal(first, layout(EDGES, iterations=10, seed=1))
    generator = np.random.default_rng(5)
    assert np.array_equal(
        layout(EDGES, seed=np.random.default_rng(5), iterations=10),
        layout(EDGES, seed=generator, iterations=10),
    )


def test_zero_iterations_return_the_start_positions_through_float32() -> None:
    start = np.array([[0.1, 0.2], [1.0, 2.0], [3.0, -1.0], [0.0, 0.0], [5.0, 5.0], [-2.5, 1.0]])
    out = layout(EDGES, pos=start, iterations=0)
    assert np.array_equal(out, start.astype(np.float32).astype(np.float64))
    assert out[0, 0] == 0.10000000149011612


def test_partial_start_positions_keep_the_given_nodes_and_place_the_rest_beside_them() -> None:
    graph = nx.path_graph(["x", "y", "z"])
    graph.add_node("alone")
    out = layout(graph, pos={"y": (4.0, -4.0)}, iterations=0)
    assert out[1].tolist() == [4.0, -4.0]
    assert (np.linalg.norm(out[[0, 2]] - out[1], axis=1) < 0.1).all()
    assert not np.array_equal(out[0], out[2])
    # A node with no placed neighbour keeps its random start.
    assert np.array_equal(out[3], layout(graph, iterations=0)[3])


@pytest.mark.parametrize("threads", [2, 3, 8], ids=lambda t: f"threads={t}")
def test_thread_count_changes_no_bit(threads: int) -> None:
    rng = np.random.default_rng(0)
    edges = rng.integers(0, 300, size=(900, 2))
    kwargs = {"iterations": 15, "barnes_hut": True}
    assert np.array_equal(
        layout(edges, threads=threads, **kwargs), layout(edges, threads=1, **kwargs)
    )


def test_settings_reach_the_kernel_under_their_keys(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    seen: dict[str, Any] = {}

    def fake(*args: Any, **options: Any) -> np.ndarray:
        seen["settings"], seen["threads"] = args[6], args[5]
        return np.zeros((args[0], 2))

    monkeypatch.setattr(prepare, "layout_nodes", fake)
    layout(
        EDGES,
        lin_log=True,
        dissuade_hubs=np.True_,
        prevent_overlap=True,
        edge_weight_influence=0.5,
        scaling_ratio=3,
        strong_gravity=True,
        gravity=0.25,
        slow_down=2.0,
        barnes_hut=True,
        barnes_hut_theta=0.7,
        threads=2,
    )
    assert seen["settings"] == {
        "linLogMode": True,
        "outboundAttractionDistribution": True,
        "adjustSizes": True,
        "edgeWeightInfluence": 0.5,
        "scalingRatio": 3.0,
        "strongGravityMode": True,
        "gravity": 0.25,
        "slowDown": 2.0,
        "barnesHutOptimize": True,
        "barnesHutTheta": 0.7,
    }
    assert all(type(v) in (bool, float) for v in seen["settings"].values())
    assert seen["threads"] == 2


@pytest.mark.parametrize(
    ("n_nodes", "kwargs", "expected"),
    [
        (
            999,
            {},
            {"barnesHutOptimize": False, "strongGravityMode": True, "gravity": 0.05},
        ),
        (
            1000,
            {"multilevel": False},
            {"barnesHutOptimize": True, "strongGravityMode": True, "gravity": 0.05},
        ),
        (5, {"strong_gravity": False}, {"strongGravityMode": False, "gravity": 1.0}),
        (5, {"strong_gravity": False, "gravity": 0.5}, {"gravity": 0.5}),
        (5000, {"barnes_hut": False, "multilevel": False}, {"barnesHutOptimize": False}),
        (2500, {"multilevel": False}, {"barnesHutOptimize": True}),
        (5, {}, {"scalingRatio": 2.0, "barnesHutTheta": 1.2, "slowDown": 1.0}),
    ],
    ids=[
        "999-nodes",
        "1000-nodes",
        "plain-gravity",
        "given-gravity",
        "exact",
        "2500-nodes",
        "constants",
    ],
)
def test_defaults(
    monkeypatch: pytest.MonkeyPatch,
    n_nodes: int,
    kwargs: dict[str, Any],
    expected: dict[str, Any],
) -> None:
    seen: dict[str, Any] = {}

    def fake(*args: Any, **options: Any) -> np.ndarray:
        seen.update(args[6], threads=args[5])
        return np.zeros((args[0], 2))

    monkeypatch.setattr(prepare, "layout_nodes", fake)
    layout(np.empty((0, 2), dtype=int), n_nodes=n_nodes, **kwargs)
    assert {key: seen[key] for key in expected} == expected
    # Threads help on graphs large enough: 2,500 nodes with Barnes-Hut, 768 exact.
    parallel = n_nodes >= (2500 if seen["barnesHutOptimize"] else 768)
    expected_threads = api.available_threads() if parallel else 1
    assert seen["threads"] == expected_threads


def test_progress_callable_sees_every_iteration_and_its_exception_propagates() -> None:
    calls: list[tuple[int, int]] = []
    layout(EDGES, iterations=4, progress=lambda done, total: calls.append((done, total)))
    assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]

    class Stop(Exception):
        pass

    stop = Stop()

    def stop_at_two(done: int, total: int) -> None:
        if done == 2:
            raise stop

    with pytest.raises(Stop) as caught:
        layout(EDGES, iterations=10, progress=stop_at_two)
    assert caught.value is stop


def test_progress_bar_changes_nothing() -> None:
    assert np.array_equal(layout(EDGES, progress=True, **RUN), reference())


# Each case: arguments of layout(), the exception, and a part of its message.
MISTAKES = [
    ({"graph": [[0, -1]]}, ValueError, "node indices must be >= 0"),
    ({"graph": [[0, 5]], "n_nodes": 3}, ValueError, "pass n_nodes=6 or more"),
    ({"graph": [[0, 1, 2]]}, ValueError, "must have shape (m, 2), not (1, 3)"),
    ({"graph": [0, 1]}, ValueError, "must have shape (m, 2), not (2,)"),
    ({"graph": [[0.0, 1.0]]}, TypeError, "integer node indices, not of dtype float64"),
    ({"graph": [["a", "b"]]}, TypeError, "not of dtype <U1"),
    ({"graph": [[0, 2**32]]}, ValueError, "node indices must be below 4294967296"),
    ({"n_nodes": -1}, ValueError, "n_nodes must be between 0 and 4294967296"),
    ({"n_nodes": 2.5}, TypeError, "n_nodes must be an integer"),
    ({"weights": [1.0, 2.0]}, ValueError, "weights must have shape (9,)"),
    ({"weights": np.r_[np.nan, WEIGHTS[1:]]}, ValueError, "weights[0] is nan"),
    ({"weights": -WEIGHTS}, ValueError, "weights must be finite and >= 0"),
    ({"weights": ["a"] * 9}, TypeError, "weights must be real numbers"),
    ({"pos": np.zeros((5, 2))}, ValueError, "pos must have shape (6, 2)"),
    ({"pos": np.full((6, 2), np.inf)}, ValueError, "pos row 0 is [inf, inf]"),
    ({"pos": {0: (1, 2, 3)}}, ValueError, "pos[0] is (1, 2, 3)"),
    ({"pos": {9: (1, 2)}}, ValueError, "pos has a position for 9"),
    ({"scalng_ratio": 2}, TypeError, "'scalng_ratio'; did you mean 'scaling_ratio'?"),
    ({"linLogMode": True}, TypeError, "did you mean 'lin_log'?"),
    ({"max_iter": 5}, TypeError, "did you mean 'iterations'?"),
    ({"iterations": -1}, ValueError, "iterations must be between 0 and 4294967295"),
    ({"iterations": 2**32}, ValueError, "iterations must be between"),
    ({"iterations": 1.5}, TypeError, "iterations must be an integer"),
    ({"iterations": True}, TypeError, "iterations must be an integer, not bool"),
    ({"threads": 0}, ValueError, "threads must be between 1 and 65535"),
    ({"lin_log": 1}, TypeError, "lin_log must be True or False"),
    ({"gravity": "1"}, TypeError, "gravity must be a real number"),
    ({"gravity": -1}, ValueError, "gravity must be between 0 and 1e+06, not -1"),
    ({"scaling_ratio": 0}, ValueError, "scaling_ratio must be from 1e-10 to 1e+10, not 0"),
    ({"slow_down": float("nan")}, ValueError, "slow_down must be finite"),
    ({"barnes_hut_theta": -0.5}, ValueError, "barnes_hut_theta must be >= 0"),
    ({"edge_weight_influence": True}, TypeError, "must be a real number"),
    ({"progress": 5}, TypeError, "progress must be True, False or a callable"),
    ({"seed": "x"}, TypeError, "seed must be an integer"),
    ({"seed": -1}, ValueError, "seed must be >= 0"),
    (
        {"graph": nx.path_graph(3), "n_nodes": 3},
        TypeError,
        "n_nodes is only for edge arrays",
    ),
    ({"graph": nx.path_graph(3), "weights": [1, 1]}, TypeError, "pass weight="),
    (
        {"graph": nx.Graph([(0, 1, {"weight": "heavy"})])},
        ValueError,
        "edge (0, 1) has weight='heavy'",
    ),
    ({"graph": nx.Graph([(0, 1, {"w": -2})]), "weight": "w"}, ValueError, "has w=-2"),
    ({"graph": nx.path_graph(2), "pos": {"q": (0, 0)}}, ValueError, "position for 'q'"),
    ({"graph": scipy.sparse.csr_array(np.ones((2, 3)))}, ValueError, "must be square"),
    (
        {"graph": scipy.sparse.csr_array(np.array([[0, np.nan], [np.nan, 0]]))},
        ValueError,
        "sparse matrix values[0] is nan",
    ),
]


@pytest.mark.parametrize(
    ("kwargs", "error", "message"), MISTAKES, ids=[m[2][:40] for m in MISTAKES]
)
def test_mistakes_are_reported_before_any_work(
    monkeypatch: pytest.MonkeyPatch, kwargs: dict[str, Any], error: type, message: str
) -> None:
    def must_not_run(*args: Any, **options: Any) -> None:
        raise AssertionError("the kernel was called")

    monkeypatch.setattr(prepare, "layout_nodes", must_not_run)
    arguments = {"graph": EDGES, **kwargs}
    graph = arguments.pop("graph")
    with pytest.raises(error, match=re.escape(message)):
        layout(graph, **arguments)


def test_missing_tqdm_is_reported_with_the_install_hint(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(
        importlib.util,
        "find_spec",
        lambda name, *a: None if name == "tqdm" else real(name, *a),
    )
    with pytest.raises(ModuleNotFoundError, match=re.escape("tallow_forceatlas2[progress]")):
        layout(EDGES, progress=True)


def test_package_exports_and_lazy_names() -> None:
    assert sorted(tallow_forceatlas2.__all__) == [
        "forceatlas2_layout",
        "layout",
        "layout_raw",
    ]
    assert tallow_forceatlas2.layout is layout
    with pytest.raises(AttributeError, match="no attribute 'nope'"):
        tallow_forceatlas2.nope  # noqa: B018


def test_missing_extension_explains_how_to_build(tmp_path: Any) -> None:
    import shutil
    import subprocess
    import sys
    from pathlib import Path

    # A copy of the pure-Python files alone, as in a source tree never built;
    # -S keeps an installed (or editable) copy out of the way.
    source = Path(tallow_forceatlas2.__file__).parent
    package = tmp_path / "tallow_forceatlas2"
    package.mkdir()
    for path in source.glob("*.py"):
        shutil.copy(path, package)
    result = subprocess.run(
        [sys.executable, "-S", "-c", "import tallow_forceatlas2"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 1
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: tallow_forceatlas2: the compiled extension '_native'")
    assert "pip install ." in last


def test_tol_stops_a_settled_layout_early_with_the_bits_of_that_many_iterations() -> None:
    graph = np.random.default_rng(1).integers(0, 200, size=(600, 2))
    done: list[int] = []
    early = layout(
        graph, iterations=5000, tol=1e-3, barnes_hut=True, progress=lambda i, n: done.append(i)
    )
    assert 5 < len(done) < 5000
    assert np.array_equal(early, layout(graph, iterations=len(done), barnes_hut=True))
    for threads in (2, 3):
        again = layout(graph, iterations=5000, tol=1e-3, barnes_hut=True, threads=threads)
        assert np.array_equal(early, again)


def test_tol_also_ends_the_input_graphs_run_of_a_multilevel_layout() -> None:
    graph = np.random.default_rng(2).integers(0, 300, size=(1500, 2))
    full = layout(graph, multilevel=True, iterations=30, seed=4)
    settled = layout(graph, multilevel=True, iterations=30, seed=4, tol=0.99)
    assert np.array_equal(settled, layout(graph, multilevel=True, iterations=5, seed=4))
    assert not np.array_equal(settled, full)


@pytest.mark.parametrize(
    ("tol", "error"), [(-0.1, ValueError), (1.0, ValueError), ("0.1", TypeError), (True, TypeError)]
)
def test_tol_is_a_number_from_0_below_1(tol: object, error: type[Exception]) -> None:
    with pytest.raises(error, match="tol must be"):
        layout(EDGES, tol=tol)


def planted(n_nodes: int = 10_000, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    group = rng.integers(0, 20, n_nodes)
    sources = rng.integers(0, n_nodes, 5 * n_nodes)
    members = [np.flatnonzero(group == g) for g in range(20)]
    inside = np.array([rng.choice(members[group[s]]) for s in sources])
    targets = np.where(
        rng.random(len(sources)) < 0.7, inside, rng.integers(0, n_nodes, len(sources))
    )
    return np.stack([sources, targets], axis=1)


def test_large_graphs_start_multilevel_with_lin_log_and_classic_gravity() -> None:
    edges = planted()
    default = layout(edges, seed=5)
    explicit = layout(
        edges, seed=5, multilevel=True, lin_log=True, strong_gravity=False, iterations=30
    )
    assert np.array_equal(default, explicit)
    assert np.array_equal(default, layout(edges, seed=5, threads=1))
    assert not np.array_equal(default, layout(edges, seed=5, multilevel=False, iterations=30))


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"pos": np.zeros((4, 2))}, ValueError, "cannot take pos="),
        ({"fixed": {0}, "pos": np.zeros((4, 2))}, ValueError, "cannot take pos="),
        ({"node_mass": [1.0, 1.0, 1.0, 1.0]}, ValueError, "cannot take node_mass="),
        ({"seed": np.random.RandomState(1)}, TypeError, "needs a seed that is an integer"),
        ({"multilevel": 1}, TypeError, "multilevel must be True, False or None"),
    ],
    ids=["pos", "fixed", "mass", "random-state", "type"],
)
def test_multilevel_conflicts_are_clear_errors(
    kwargs: dict[str, Any], error: type[Exception], message: str
) -> None:
    kwargs = {"multilevel": True} | kwargs
    with pytest.raises(error, match=re.escape(message)):
        layout(EDGES, **kwargs)
