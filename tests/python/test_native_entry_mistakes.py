"""Mistakes at the native entry points: clear errors up front, bounded threads, no build paths."""

from __future__ import annotations

import os
import re
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2 import layout
from tallow_forceatlas2._native import hierarchy, layout_nodes, layout_raw
from tallow_forceatlas2.multilevel.coarsen import Level
from tallow_forceatlas2.multilevel.kernel_call import layout_level

N = 4
EDGES = np.array([[0, 1], [2, 3]], dtype=np.uint32)


def call(**changes: Any) -> np.ndarray:
    arguments: dict[str, Any] = {
        "n_nodes": N,
        "edges": EDGES,
        "weights": None,
        "init": np.arange(2.0 * N).reshape(N, 2),
        "iterations": 2,
        "threads": 1,
        "settings": {"barnesHutOptimize": True},
        "progress": None,
    }
    arguments.update(changes)
    return layout_nodes(**arguments)


def start_with(row: int, x: float) -> np.ndarray:
    init = np.arange(2.0 * N).reshape(N, 2)
    init[row, 0] = x
    return init


GRAPH_MISTAKES = [
    pytest.param(
        {"edges": np.array([[0, 1], [2, 4]], dtype=np.uint32)},
        r"^argument 'edges': edges\[1, 1\] is 4, not a node index below n_nodes \(4\)$",
        id="edge end past the nodes",
    ),
    pytest.param(
        {"n_nodes": 2},
        r"^argument 'edges': edges\[1, 0\] is 2, not a node index below n_nodes \(2\)$",
        id="fewer nodes than the edges name",
    ),
    pytest.param(
        {"edges": np.zeros((2, 1), dtype=np.uint32)},
        r"^argument 'edges': expected 2 columns \(source, target\), got 1$",
        id="edges of one column",
    ),
    pytest.param(
        {"weights": np.ones(1)},
        r"^argument 'weights': expected one value per edge \(2\), got 1$",
        id="too few weights",
    ),
    pytest.param(
        {"weights": np.ones(3)},
        r"^argument 'weights': expected one value per edge \(2\), got 3$",
        id="too many weights",
    ),
    pytest.param(
        {"init": np.zeros((N, 1))},
        r"^argument 'init': expected 2 columns \(x, y\), got 1$",
        id="init of one column",
    ),
    pytest.param(
        {"init": start_with(2, 1e39)},  # finite in float64, infinite in float32
        r"^argument 'init': node 2 starts at \(1e\+39, 5\.0\), which is not finite in float32",
        id="start beyond float32",
    ),
    pytest.param(
        {"init": start_with(0, -np.inf)},
        r"^argument 'init': node 0 starts at \(-inf, 1\.0\)",
        id="infinite start",
    ),
    pytest.param(
        {"init": start_with(3, np.nan)},
        r"^argument 'init': node 3 starts at \(nan, 7\.0\)",
        id="NaN start",
    ),
]


@pytest.mark.parametrize(("changes", "message"), GRAPH_MISTAKES)
def test_graph_mistakes_are_value_errors_naming_the_argument(
    changes: dict[str, Any], message: str
) -> None:
    with pytest.raises(ValueError, match=message):
        call(**changes)


def test_the_graph_is_checked_before_any_work() -> None:
    def progress(done: int, total: int) -> None:
        raise AssertionError("the run started")

    with pytest.raises(ValueError, match="argument 'weights'"):
        call(weights=np.ones(5), progress=progress)


def test_start_rows_past_the_nodes_are_not_checked() -> None:
    init = np.vstack([np.arange(2.0 * N).reshape(N, 2), [[np.inf, np.nan]]])
    assert np.array_equal(call(init=init), call())


def test_fatal_reports_name_the_source_file_without_its_directories(
    capfd: pytest.CaptureFixture[str],
) -> None:
    # layout_raw keeps its internal error for rows too narrow to hold an edge.
    with pytest.raises(BaseException, match="index out of bounds") as info:
        layout_raw(N, np.zeros((2, 1), np.uint32), None, np.zeros((N, 2)), 1, 1, {}, None)
    assert not isinstance(info.value, Exception)
    report = capfd.readouterr().err
    assert re.fullmatch(r"tallow_forceatlas2: [\w.]+\.cpp:\d+: internal error: .*\n", report)


@pytest.mark.parametrize("mass", [1.0000001e10, 1e15, 3e38])
def test_masses_beyond_layouts_bound_are_refused(mass: float) -> None:
    masses = np.ones(N)
    masses[1] = mass
    with pytest.raises(
        ValueError, match=r"'mass': every mass must be a number from 1\.2e-38 to 1e10"
    ):
        call(mass=masses)


def test_the_largest_mass_stays_finite() -> None:
    masses = np.full(N, 1e10)
    assert np.isfinite(call(mass=masses, iterations=50)).all()


def test_coarse_levels_heavier_than_the_bound_still_lay_out() -> None:
    # Merged nodes weigh what their members do together: more than any one node may.
    edges = np.array([[0, 1], [1, 2], [0, 2]], dtype=np.int64)
    heavy = Level(3, edges, np.full(3, 1e8), np.array([9e10, 2e10, 5e9]), np.ones(3))
    start = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]])
    assert np.isfinite(layout_level(heavy, start, 20, 1, {"edgeWeightInfluence": 1.0}, None)).all()


@pytest.mark.parametrize("flag", [np.True_, np.False_, True, False], ids=repr)
def test_check_finite_takes_numpy_bools(flag: Any) -> None:
    diverging = {"scalingRatio": 3e38}  # the first repulsion overflows float32
    if flag:
        with pytest.raises(FloatingPointError, match="after iteration 1"):
            call(settings=diverging, check_finite=flag)
    else:
        assert np.isnan(call(settings=diverging, check_finite=flag)).all()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux /proc")
def test_threads_beyond_four_per_core_start_no_more_workers() -> None:
    cores = len(os.sched_getaffinity(0))
    rng = np.random.default_rng(3)
    n = 3000  # smaller runs start no pool at all
    edges = rng.integers(0, n, size=(3 * n, 2)).astype(np.uint32)
    init = rng.normal(size=(n, 2)) * 20
    before = len(os.listdir("/proc/self/task"))
    seen: list[int] = []

    def count_threads(done: int, total: int) -> None:
        seen.append(len(os.listdir("/proc/self/task")) - before)

    settings = {"barnesHutOptimize": True}
    result = layout_nodes(n, edges, None, init, 3, 4 * cores + 20, settings, count_threads)
    assert 0 < max(seen) <= 4 * cores
    assert np.array_equal(result, layout_nodes(n, edges, None, init, 3, 1, settings, None))


HIERARCHY_EDGES = np.array([[0, 1], [1, 2], [2, 3]], dtype=np.int64)


@pytest.mark.parametrize(
    ("name", "value"),
    [("weights", [1.0, np.inf, 1.0]), ("mass", [1.0, 1.0, 1.0, np.inf])],
    ids=lambda v: str(v),
)
def test_hierarchy_refuses_infinite_weights_and_masses(name: str, value: list[float]) -> None:
    arguments: dict[str, Any] = {"weights": np.ones(3), "mass": np.ones(N)}
    arguments[name] = np.array(value)
    with pytest.raises(
        ValueError, match=rf"^hierarchy\(\): {name}\[\d\] is inf; it must be finite$"
    ):
        hierarchy(N, HIERARCHY_EDGES, arguments["weights"], arguments["mass"], 1, 0)


def test_a_tolerance_beyond_float64_is_a_value_error() -> None:
    with pytest.raises(ValueError, match="tol must be at least 0 and below 1"):
        layout(np.array([[0, 1], [1, 2]]), tol=10**400)
