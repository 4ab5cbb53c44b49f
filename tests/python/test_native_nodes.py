"""layout_nodes: layout_raw's bits by default, per-node masses, sizes and pins, finite checks."""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_nodes, layout_raw

SETTINGS = [
    {},
    {"barnesHutOptimize": True},
    {"barnesHutOptimize": True, "linLogMode": True, "outboundAttractionDistribution": True},
    {"adjustSizes": True, "strongGravityMode": True},
    {"adjustSizes": True, "barnesHutOptimize": True, "barnesHutTheta": 0.8},
]


def graph(n_nodes: int = 300, seed: int = 1, weighted: bool = False) -> tuple[Any, ...]:
    rng = np.random.default_rng(seed)
    edges = rng.integers(0, n_nodes, size=(3 * n_nodes, 2)).astype(np.uint32)
    weights = rng.uniform(0.5, 3.0, len(edges)) if weighted else None
    return n_nodes, edges, weights, rng.normal(size=(n_nodes, 2)) * 20


def degree_mass(n_nodes: int, edges: np.ndarray) -> np.ndarray:
    """1 plus the number of edge ends at each node: the mass layout_raw gives without weights."""
    return 1.0 + np.bincount(edges.ravel(), minlength=n_nodes).astype(np.float64)


@pytest.mark.parametrize("settings", SETTINGS, ids=str)
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_without_options_it_gives_layout_raws_bits(
    settings: dict[str, Any], weighted: bool, threads: int
) -> None:
    arguments = graph(weighted=weighted)
    expected = layout_raw(*arguments, 20, 1, settings, None)
    assert np.array_equal(layout_nodes(*arguments, 20, threads, settings, None), expected)
    seen: list[int] = []
    with_progress = layout_nodes(*arguments, 20, threads, settings, lambda i, n: seen.append(i))
    assert np.array_equal(with_progress, expected)
    assert seen == list(range(1, 21))


@pytest.mark.parametrize("settings", SETTINGS[:3], ids=str)
def test_the_degree_mass_given_explicitly_gives_layout_raws_bits(settings: dict[str, Any]) -> None:
    n, edges, _, init = graph()
    expected = layout_raw(n, edges, None, init, 20, 1, settings, None)
    mass = degree_mass(n, edges)
    assert np.array_equal(
        layout_nodes(n, edges, None, init, 20, 2, settings, None, mass=mass), expected
    )
    heavier = layout_nodes(n, edges, None, init, 20, 2, settings, None, mass=mass * 3)
    assert not np.array_equal(heavier, expected)


def test_nan_keeps_the_default_mass_and_size() -> None:
    n, edges, weights, init = graph(weighted=True)
    settings = {"adjustSizes": True}  # exact mode: sizes act as given, no walk switches on
    expected = layout_raw(n, edges, weights, init, 10, 1, settings, None)
    unset = np.full(n, np.nan)
    result = layout_nodes(n, edges, weights, init, 10, 2, settings, None, mass=unset, size=unset)
    assert np.array_equal(result, expected)


@pytest.mark.parametrize("settings", SETTINGS, ids=str)
def test_pinned_nodes_keep_their_start_bits_for_any_thread_count(settings: dict[str, Any]) -> None:
    n, edges, weights, init = graph()
    fixed = np.zeros(n, dtype=bool)
    fixed[::7] = True
    runs = [
        layout_nodes(n, edges, weights, init, 30, threads, settings, None, fixed=fixed)
        for threads in (1, 2, 3)
    ]
    assert all(np.array_equal(run, runs[0]) for run in runs)
    start = init.astype(np.float32).astype(np.float64)
    assert np.array_equal(runs[0][fixed], start[fixed])
    assert not np.isin(runs[0][~fixed], start[~fixed]).all()


def test_sizes_keep_nodes_apart_in_exact_mode() -> None:
    # A star whose leaves all pull to the hub: only sizes keep them apart.
    n = 16
    edges = np.array([(0, i) for i in range(1, n)], dtype=np.uint32)
    init = np.random.default_rng(2).normal(size=(n, 2)) * 30
    size = np.full(n, 6.0)
    settings = {"adjustSizes": True}
    positions = layout_nodes(n, edges, None, init, 3000, 1, settings, None, size=size)
    gaps = np.linalg.norm(positions[:, None] - positions[None], axis=2)
    reach = size[:, None] + size[None]
    apart = gaps >= reach * 0.95
    np.fill_diagonal(apart, True)
    assert apart.all(), gaps[~apart].min()
    unsized = layout_nodes(n, edges, None, init, 3000, 1, settings, None)
    unsized_gaps = np.linalg.norm(unsized[:, None] - unsized[None], axis=2) + 99 * np.eye(n)
    assert unsized_gaps.min() < 12


BAD_OPTIONS = [
    (
        {"mass": np.ones(3)},
        ValueError,
        r"argument 'mass': expected one value per node \(4\), got 3",
    ),
    ({"mass": np.array([1.0, 0.0, 1.0, 1.0])}, ValueError, r"'mass': every mass .*node 1 has 0\.0"),
    ({"mass": np.array([1.0, 1e39, 1, 1])}, ValueError, r"node 1 has 1e\+39"),
    ({"mass": np.ones(4, dtype=np.float32)}, TypeError, r"argument 'mass': 'ndarray' object"),
    ({"size": np.array([1.0, 1.0, -1.0, 1.0])}, ValueError, r"'size': every size .*node 2 has -1"),
    ({"size": [1.0, 1.0, 1.0, 1.0]}, TypeError, r"argument 'size': 'list' object cannot be"),
    ({"fixed": np.ones(4)}, TypeError, r"argument 'fixed': 'ndarray' object cannot be"),
    ({"fixed": np.ones(5, dtype=bool)}, ValueError, r"argument 'fixed': expected one value"),
    ({"check_finite": 1}, TypeError, r"argument 'check_finite': 'int' object cannot be"),
    ({"masses": np.ones(4)}, TypeError, r"layout_nodes\(\) got an unexpected keyword .*'masses'"),
]


@pytest.mark.parametrize(("options", "error", "message"), BAD_OPTIONS, ids=lambda v: str(v)[:40])
def test_bad_per_node_arguments_are_clear_errors(
    options: dict[str, Any], error: type[Exception], message: str
) -> None:
    edges = np.array([[0, 1], [2, 3]], dtype=np.uint32)
    with pytest.raises(error, match=message):
        layout_nodes(4, edges, None, np.zeros((4, 2)), 1, 1, {}, None, **options)


def test_binding_errors_name_layout_nodes() -> None:
    with pytest.raises(
        TypeError, match=r"^layout_nodes\(\) missing 1 required positional argument: 'progress'$"
    ):
        layout_nodes(1, np.zeros((0, 2), np.uint32), None, np.zeros((1, 2)), 0, 1, {})
    with pytest.raises(
        TypeError, match=r"^layout_nodes\(\) takes 8 positional arguments but 9 were given$"
    ):
        layout_nodes(1, np.zeros((0, 2), np.uint32), None, np.zeros((1, 2)), 0, 1, {}, None, None)


def test_check_finite_stops_at_the_first_non_finite_iteration() -> None:
    n, edges, _, init = graph(50)
    diverging = {"scalingRatio": 1e38}  # the first repulsion overflows float32
    assert np.isnan(layout_nodes(n, edges, None, init, 5, 1, diverging, None)).any()
    seen: list[int] = []
    with pytest.raises(
        FloatingPointError, match=r"after iteration 1 \(first nodes: 0, 1, "
    ) as info:
        layout_nodes(
            n, edges, None, init, 5, 2, diverging, lambda i, t: seen.append(i), check_finite=True
        )
    _, iteration, first, count = info.value.args
    assert (iteration, len(first), count, seen) == (1, 10, n, [])
    finite = layout_nodes(*graph(50), 5, 1, {}, None, check_finite=True)
    assert np.isfinite(finite).all()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux /proc")
def test_one_pool_serves_the_whole_run_with_progress() -> None:
    """The worker threads seen from the callback are the same ones at every iteration."""
    threads_seen: list[set[str]] = []

    def record(done: int, total: int) -> None:
        threads_seen.append(set(os.listdir("/proc/self/task")))

    arguments = graph(3000)  # smaller runs start no pool at all
    layout_nodes(*arguments, 4, 3, {"barnesHutOptimize": True}, record)
    with_pool = threads_seen[0]
    assert all(seen == with_pool for seen in threads_seen)
    threads_seen.clear()
    # layout_raw shuts its pool down before every callback.
    layout_raw(*arguments, 4, 3, {"barnesHutOptimize": True}, record)
    assert all(len(with_pool - seen) == 3 for seen in threads_seen)


def test_tol_ends_a_settled_run_early_and_only_then() -> None:
    arguments = graph(200)
    settings = {"barnesHutOptimize": True, "strongGravityMode": True, "gravity": 0.05}
    done: list[int] = []
    early = layout_nodes(*arguments, 3000, 2, settings, lambda i, t: done.append(i), tol=1e-3)
    assert 5 < len(done) < 3000
    # The same iterations without tol give the same bits, for any thread count.
    assert np.array_equal(early, layout_nodes(*arguments, len(done), 1, settings, None))
    # A tolerance no step can reach never stops the run.
    done.clear()
    layout_nodes(*arguments, 40, 1, settings, lambda i, t: done.append(i), tol=1e-300)
    assert len(done) == 40


@pytest.mark.parametrize("tol", [-1.0, float("nan")])
def test_tol_must_be_a_number_at_least_zero(tol: float) -> None:
    with pytest.raises(ValueError, match=r"argument 'tol': must be a number >= 0"):
        layout_nodes(*graph(10), 1, 1, {}, None, tol=tol)


def test_exact_runs_handed_to_the_workers_stop_where_one_thread_stops() -> None:
    """From 768 nodes two threads take a whole exact run without a progress
    callback, the finite check and the tol test made between their steps."""
    n, edges, _, init = graph(900)
    settings = {"strongGravityMode": True, "gravity": 0.05}
    done: list[int] = []
    counted = layout_nodes(
        n, edges, None, init, 400, 1, settings, lambda i, t: done.append(i), tol=1e-2
    )
    assert 3 < len(done) < 400
    handed = layout_nodes(n, edges, None, init, 400, 2, settings, None, tol=1e-2, check_finite=True)
    assert np.array_equal(handed, counted)
    diverging = {**settings, "scalingRatio": 1e38}  # the first repulsion overflows float32
    with pytest.raises(FloatingPointError, match=r"after iteration 1 \(first nodes: 0, 1, "):
        layout_nodes(n, edges, None, init, 5, 2, diverging, None, check_finite=True)
