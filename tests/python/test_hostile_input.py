"""Degenerate and hostile input: coincident starts, float32 overflow, absurd sizes, bad files."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import api, cli, layout, limits, prepare
from tallow_forceatlas2.positions import spread_coincident

RING = np.array([[i, (i + 1) % 10] for i in range(10)])
RUN: dict[str, Any] = {"iterations": 20, "threads": 1}


def float32_keys(points: np.ndarray) -> set[tuple[float, float]]:
    rounded = points.astype(np.float32) + np.float32(0.0)
    return {(float(x), float(y)) for x, y in rounded}


@pytest.mark.parametrize(
    ("first", "repeat"),
    [
        ((0.0, 0.0), (0.0, 0.0)),
        ((0.0, 0.0), (-0.0, 0.0)),
        ((3e4, -3e4), (3e4, -3e4)),
        ((0.1, 0.1), (0.1, 0.1 + 1e-12)),
    ],
    ids=["origin", "negative-zero", "far", "equal-in-float32"],
)
def test_repeated_starts_are_jittered_and_distinct_ones_kept_bit_for_bit(
    first: tuple[float, float], repeat: tuple[float, float]
) -> None:
    start = np.random.default_rng(4).uniform(-50, 50, size=(200, 2))
    start[3] = first
    start[[50, 120, 199]] = repeat
    out = spread_coincident(start, 7)
    moved = np.flatnonzero((out != start).any(axis=1))
    assert moved.tolist() == [50, 120, 199]
    assert len(float32_keys(out)) == 200
    # Within 1e-4 of the extent, or 1,024 float32 spacings of the largest coordinate.
    extent = np.ptp(start.astype(np.float32), axis=0).max()
    spacing = np.spacing(np.abs(start.astype(np.float32)).max())
    radius = max(1e-4 * extent, 1024 * spacing)
    assert np.abs(out[moved] - start[3].astype(np.float32)).max() <= radius
    assert np.array_equal(spread_coincident(start, 7), out)
    assert not np.array_equal(spread_coincident(start, 8), out)


@pytest.mark.parametrize(
    "seed",
    [0, np.random.SeedSequence(3)],
    ids=["int", "SeedSequence"],
)
def test_all_nodes_at_one_point_spread_by_a_tiny_jitter(seed: Any) -> None:
    point = np.full((40_000, 2), 3.0)
    out = spread_coincident(point, seed)
    assert len(float32_keys(out)) == 40_000
    assert np.array_equal(out[0], point[0])
    assert np.abs(out - 3.0).max() <= 1e-4 * 200  # extent 0: 1e-4 of sqrt(n)
    assert np.array_equal(spread_coincident(point, seed), out)


def test_layout_from_coincident_starts_separates_nodes_deterministically() -> None:
    start = np.zeros((10, 2))
    first = layout(RING, pos=start, **RUN)
    assert np.array_equal(first, layout(RING, pos=start, **RUN))
    assert np.isfinite(first).all() and len(float32_keys(first)) == 10
    assert np.array_equal(layout(RING, pos=start, iterations=0), start)
    runs = [layout(RING, pos=start, seed=np.random.default_rng(5), **RUN) for _ in range(2)]
    assert np.array_equal(runs[0], runs[1])
    distinct = np.random.default_rng(1).normal(size=(10, 2))
    assert spread_coincident(distinct, 0) is distinct


def must_not_run(*args: Any, **options: Any) -> None:
    raise AssertionError("the kernel was called")


# Each case: arguments of layout() on the ring, and a part of the message. All
# of these gave all-NaN positions or an OverflowError before.
OVERFLOWS = [
    ({"weights": [1e20] + [1.0] * 9}, "node 0 has mass 1e+20"),
    ({"weights": [1e16] * 10}, "masses must be at most 1e+10"),
    ({"weights": [10.0] * 10, "edge_weight_influence": 100}, "10 ** 100 is about 1e100"),
    ({"pos": np.r_[[[1e20, 0.0]], np.zeros((9, 2))]}, "node 0 starts at [1e+20, 0.0], beyond"),
    ({"pos": np.r_[np.zeros((2, 2)), [[0.0, 1e39]], np.zeros((7, 2))]}, "not finite in float32"),
    ({"pos": [[10**400, 0]] * 10}, "pos must hold finite coordinates"),
    ({"scaling_ratio": 1e24}, "scaling_ratio must be from 1e-10 to 1e+10, not 1e+24"),
    ({"scaling_ratio": 1e-309}, "scaling_ratio must be from 1e-10 to 1e+10"),
    ({"gravity": 1e18}, "gravity must be between 0 and 1e+06, not 1e+18"),
    ({"gravity": 10**400}, "gravity must be between 0 and 1e+06, not an integer beyond"),
    ({"slow_down": 1e-18}, "slow_down must be >= 0.001, not 1e-18"),
]


@pytest.mark.parametrize(("kwargs", "message"), OVERFLOWS, ids=[m for _, m in OVERFLOWS])
def test_arithmetic_overflow_is_refused_before_any_work(
    monkeypatch: pytest.MonkeyPatch, kwargs: dict[str, Any], message: str
) -> None:
    monkeypatch.setattr(prepare, "layout_nodes", must_not_run)
    with pytest.raises(ValueError, match=re.escape(message)):
        layout(RING, **kwargs)


@pytest.mark.parametrize(
    ("graph", "pos", "name"),
    [
        (nx.path_graph(["a", "b", "c"]), {"c": (1e39, 0.0)}, "node 'c' starts"),
        (nx.path_graph(["a", "b", "c"]), {"b": (0.0, -2e12)}, "node 'b' starts"),
        (np.array([[0, 1], [1, 2]]), {2: (5e12, 0.0)}, "node 2 starts"),
    ],
    ids=["networkx-label", "networkx-negative", "edge-array-index"],
)
def test_too_large_start_names_the_node(graph: Any, pos: Any, name: str) -> None:
    with pytest.raises(ValueError, match=re.escape(name)):
        layout(graph, pos=pos)


def test_igraph_vertices_are_named_by_their_name_attribute() -> None:
    igraph = pytest.importorskip("igraph")
    graph = igraph.Graph(n=3, edges=[(0, 1), (1, 2)])
    graph.vs["name"] = ["x", "y", "z"]
    with pytest.raises(ValueError, match=re.escape("node 'z' starts at [0.0, 1e+39]")):
        layout(graph, pos={2: (0.0, 1e39)})


def test_everyday_extremes_stay_accepted_and_finite() -> None:
    # Every range at its end at once: the corner the bounds were measured at.
    weights = np.full(len(RING), 1e10 / 2 - 1)
    out = layout(
        RING,
        weights=weights,
        pos=np.random.default_rng(0).uniform(-1e12, 1e12, size=(10, 2)),
        scaling_ratio=1e10,
        gravity=1e6,
        slow_down=1e-3,
        iterations=300,
    )
    assert np.isfinite(out).all()


def test_non_finite_result_is_an_error_naming_the_nodes(monkeypatch: pytest.MonkeyPatch) -> None:
    def diverged(*args: Any, **options: Any) -> np.ndarray:
        out = np.zeros((args[0], 2))
        out[[1, 2, 3, 5, 6, 8, 9], 0] = [np.nan, np.inf, np.nan, np.nan, -np.inf, np.nan, np.nan]
        return out

    monkeypatch.setattr(prepare, "layout_nodes", diverged)
    expected = "7 of 10 nodes reached non-finite positions (1, 2, 3, 5, 6 and 2 more)"
    with pytest.raises(ValueError, match=re.escape(expected)) as info:
        layout(RING)
    assert "larger slow_down" in str(info.value)
    graph = nx.cycle_graph([f"n{i}" for i in range(10)])
    with pytest.raises(ValueError, match=re.escape("('n1', 'n2', 'n3', 'n5', 'n6' and 2")):
        layout(graph)


@pytest.mark.parametrize(
    ("edges", "n_nodes", "error", "message"),
    [
        ([[0, 4_000_000_000]], None, ValueError, "np.unique(edges, return_inverse=True)"),
        ([[0, 3_355_444]], None, ValueError, "would have 3,355,445 nodes"),
        ([[0, 4_000_000_000]], 4_000_000_001, MemoryError, "needs at least 268.2 GiB"),
    ],
    ids=["identifiers", "threshold", "memory"],
)
def test_absurd_node_counts_are_refused_before_allocating(
    monkeypatch: pytest.MonkeyPatch,
    edges: list[list[int]],
    n_nodes: int | None,
    error: type[Exception],
    message: str,
) -> None:
    monkeypatch.setattr(prepare, "layout_nodes", must_not_run)
    monkeypatch.setattr(limits, "_memory_limit", lambda: 16 * 2**30)
    with pytest.raises(error, match=re.escape(message)):
        layout(np.array(edges), n_nodes=n_nodes)


def test_dense_indices_and_explicit_node_counts_pass(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[int] = []

    def fake(*args: Any, **options: Any) -> np.ndarray:
        seen.append(args[0])
        return np.zeros((args[0], 2))

    monkeypatch.setattr(prepare, "layout_nodes", fake)
    layout(np.array([[0, 3_355_443]]), iterations=0)  # below the threshold
    layout(np.array([[0, 3_355_444]]), n_nodes=3_355_445, iterations=0)
    assert seen == [3_355_444, 3_355_445]


@pytest.mark.parametrize(("asked", "started"), [(65535, 8), (9, 8), (3, 3)])
def test_worker_count_is_capped_at_four_per_processor(
    monkeypatch: pytest.MonkeyPatch, asked: int, started: int
) -> None:
    seen: dict[str, int] = {}

    def fake(*args: Any, **options: Any) -> np.ndarray:
        seen["threads"] = args[5]
        return np.zeros((args[0], 2))

    monkeypatch.setattr(prepare, "layout_nodes", fake)
    monkeypatch.setattr(api, "available_threads", lambda: 2)
    layout(RING, threads=asked)
    assert seen["threads"] == started


def run_cli(capsys: pytest.CaptureFixture[str], argv: list[str]) -> tuple[int, str]:
    code = cli.main(argv)
    captured = capsys.readouterr()
    lines = captured.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tallow-fa2: error: "), captured.err
    assert captured.out == ""
    return code, lines[0]


def test_deeply_nested_gml_is_one_line(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    path = tmp_path / "deep.gml"
    path.write_text("graph [\n" + "a [\n" * 5000 + "]\n" * 5000 + "]\n", encoding="utf-8")
    expected = f"tallow-fa2: error: {path}: cannot read this GML file: it is nested too deeply"
    assert run_cli(capsys, [str(path)]) == (2, expected)


@pytest.mark.parametrize(
    ("target", "failure", "expected"),
    [
        ("read_graph", MemoryError(), "out of memory: the graph does not fit in memory"),
        ("layout", MemoryError("needs 9 GiB"), "out of memory: needs 9 GiB"),
    ],
    ids=["reading", "layout"],
)
def test_out_of_memory_is_one_line_and_status_2(
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    tmp_path: Path,
    target: str,
    failure: BaseException,
    expected: str,
) -> None:
    def fail(*args: Any, **kwargs: Any) -> None:
        raise failure

    monkeypatch.setattr(cli, target, fail)
    path = tmp_path / "g.csv"
    path.write_text("a,b\n", encoding="utf-8")
    code, line = run_cli(capsys, [str(path), "--no-progress"])
    assert code == 2 and expected in line


def test_diverged_layout_writes_nothing_and_exits_2(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    monkeypatch.setattr(prepare, "layout_nodes", lambda *a, **k: np.full((a[0], 2), np.nan))
    path, out = tmp_path / "g.csv", tmp_path / "out.csv"
    path.write_text("a,b\nb,c\n", encoding="utf-8")
    code, line = run_cli(capsys, [str(path), "-o", str(out), "--no-progress"])
    assert code == 2 and "the layout diverged: 3 of 3 nodes" in line and "'a', 'b', 'c'" in line
    assert not out.exists()


def test_streamed_edge_list_numbers_lines_and_backfills_weights(tmp_path: Path) -> None:
    from tallow_forceatlas2.io.readers import InputError, read_edge_list

    path = tmp_path / "g.csv"
    path.write_bytes("\ufeffa,b\r\nb,c,2.5\rc,a\n\nd,a,\n".encode())
    with pytest.raises(InputError, match=re.escape(f"{path}:5: weight '' is not")):
        read_edge_list(path)  # "\r" ends a line, as str.splitlines says
    path.write_bytes("\ufeffa,b\r\nb,c,2.5\rc,a\n\n# end\n".encode())
    graph = read_edge_list(path)
    assert graph.nodes == ["a", "b", "c"]
    assert graph.edges.tolist() == [[0, 1], [1, 2], [2, 0]]
    assert graph.weights is not None and graph.weights.tolist() == [1.0, 2.5, 1.0]
    path.write_bytes(b"a,b\n" * 3 + b"c,\xe9\n")
    with pytest.raises(InputError, match=re.escape(f"{path}:4: is not UTF-8 text")):
        read_edge_list(path)


def test_help_states_every_range(capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(["--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    for text_range in ("from 1e-10 to 1e+10", "between 0 and 1e+06", ">= 0.001", "at most 1e+10"):
        assert text_range in text
