"""layout_many and layout_directory: the same bits as lone layout() calls, on threads and Dask."""

from __future__ import annotations

import dataclasses
import os
import signal
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import networkx as nx
import numpy as np
import pytest
import scipy.sparse
from tallow_forceatlas2 import cli, layout
from tallow_forceatlas2.batch import BatchError, layout_directory, layout_many, many
from tallow_forceatlas2.batch.local import kernel_threads
from tallow_forceatlas2.batch.shipping import ship
from tallow_forceatlas2.io.readers import read_graph
from tallow_forceatlas2.prepare import PreparedLayout

RUN: dict[str, Any] = {"iterations": 15, "seed": 4}


def ring(n: int, chords: int = 3) -> np.ndarray:
    edges = [(i, (i + 1) % n) for i in range(n)] + [(i, (i * 7 + 3) % n) for i in range(chords)]
    return np.array(edges, dtype=np.int64)


def labelled_graph() -> nx.Graph:
    graph = nx.relabel_nodes(nx.les_miserables_graph(), lambda name: f"character {name}")
    return graph


def mixed_graphs() -> list[Any]:
    """Every input kind, a weighted one, labels, and one large enough for parallel walks."""
    edges = ring(40, chords=25)
    weights = np.linspace(0.5, 3.0, len(edges))
    sparse = scipy.sparse.csr_array((weights, (edges[:, 0], edges[:, 1])), shape=(40, 40))
    return [
        ring(30),
        labelled_graph(),
        sparse,
        (ring(12), {"pos": np.zeros((12, 2))}),  # coincident starts: jittered like layout()
        (ring(20), {"seed": 9, "lin_log": True, "iterations": 7}),
        (ring(24), {"tol": 0.5, "iterations": 200}),  # stops once settled
        (ring(2600), {"barnes_hut": True, "iterations": 3}),
        (labelled_graph(), {"pos": {"character Valjean": (5.0, 5.0)}, "weight": None}),
        # New nodes start near pinned, placed ones, with offsets drawn from the seed.
        (ring(16), {"pos": {0: (0.0, 0.0), 8: (9.0, 1.0)}, "fixed": {0, 8}}),
    ]


def lone(entry: Any, shared: dict[str, Any]) -> np.ndarray:
    graph, own = entry if isinstance(entry, tuple) else (entry, {})
    return layout(graph, **{**shared, **own})


@pytest.fixture
def spoiled(monkeypatch: pytest.MonkeyPatch) -> np.ndarray:
    """A graph whose prepared settings the kernel rejects: it fails where it runs."""
    graph = ring(10)
    real_ship = many.ship

    def ship_spoiling(entry: object, options: Any) -> PreparedLayout:
        prepared = real_ship(entry, options)
        if entry is graph:
            settings = {**prepared.settings, "gravity": "strong"}
            prepared = dataclasses.replace(prepared, settings=settings)
        return prepared

    monkeypatch.setattr(many, "ship", ship_spoiling)
    return graph


def assert_same(results: list[Any], expected: list[np.ndarray]) -> None:
    assert len(results) == len(expected)
    for position, (got, want) in enumerate(zip(results, expected)):
        assert np.array_equal(got, want), f"graph {position} differs"


@pytest.mark.parametrize("threads", [1, 2, 3], ids=lambda t: f"cores={t}")
def test_thread_pool_equals_lone_layouts_in_input_order(threads: int) -> None:
    graphs = mixed_graphs()
    expected = [lone(entry, RUN) for entry in graphs]
    assert_same(layout_many(graphs, threads=threads, **RUN), expected)


def test_lazy_input_and_a_shared_generator_draw_as_a_loop_of_layouts() -> None:
    # The coincident starts of the third graph draw a jitter from the shared
    # generator between the random starts of the others.
    entries = [(ring(n), {"pos": np.zeros((n, 2))} if n == 14 else {}) for n in (5, 9, 14, 3, 30)]
    rng = np.random.default_rng(8)
    expected = [layout(graph, seed=rng, iterations=10, **own) for graph, own in entries]
    lazy = (entry for entry in entries)
    assert_same(layout_many(lazy, seed=np.random.default_rng(8), iterations=10), expected)


def test_failures_are_reported_by_position_and_the_rest_kept(spoiled: np.ndarray) -> None:
    graphs: list[Any] = [
        ring(10),
        (ring(10), {"pos": np.zeros((3, 2))}),  # fails preparing, on this thread
        ring(11),
        spoiled,  # fails in the kernel, on a pool thread
        ring(13),
    ]
    with pytest.raises(BatchError, match=r"2 of 5 graphs failed.*graph 1: ValueError: pos") as info:
        layout_many(graphs, threads=2, **RUN)
    assert list(info.value.failures) == [1, 3]
    assert isinstance(info.value.failures[3], TypeError)
    results = info.value.results
    assert results[1] is None and results[3] is None
    assert_same([results[i] for i in (0, 2, 4)], [lone(graphs[i], RUN) for i in (0, 2, 4)])


@pytest.mark.parametrize(
    ("shared", "error", "message"),
    [
        ({"theta": 1.0}, TypeError, "did you mean 'barnes_hut_theta'"),
        ({"scaling_ratio": -1.0}, ValueError, "scaling_ratio"),
        ({"iterations": 2.5}, TypeError, "iterations must be an integer"),
        ({"threads": 0}, ValueError, "threads must be between 1"),
        ({"progress": "yes"}, TypeError, "progress must be"),
    ],
    ids=["alias", "setting", "iterations", "threads", "progress"],
)
def test_shared_mistakes_raise_before_any_graph_is_read(
    shared: dict[str, Any], error: type[Exception], message: str
) -> None:
    def never() -> Iterator[np.ndarray]:
        raise AssertionError("a graph was read")
        yield ring(3)

    with pytest.raises(error, match=message):
        layout_many(never(), **shared)


@pytest.mark.parametrize(
    ("nodes", "options", "idle", "waiting", "threads"),
    [
        (3000, {}, 4, 10, 1),  # graphs wait: one thread each
        (3000, {}, 4, 1, 2),  # the last two share the free cores
        (3000, {}, 4, 0, 4),
        (2000, {}, 4, 0, 1),  # below the size layout() parallelises
        (3000, {"barnes_hut": False}, 4, 0, 4),  # exact repulsion shares its pairs
        (500, {"barnes_hut": False}, 4, 0, 1),  # but not on graphs this small
    ],
)
def test_core_split(
    nodes: int, options: dict[str, Any], idle: int, waiting: int, threads: int
) -> None:
    shipped = ship(ring(nodes), {**options, "iterations": 0})
    assert kernel_threads(shipped, idle, waiting) == threads


def test_progress_counts_graphs_and_ctrl_c_starts_no_new_graph() -> None:
    calls: list[tuple[int, int | None]] = []
    layout_many([ring(5)] * 4, progress=lambda done, total: calls.append((done, total)), **RUN)
    assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]

    read = 0

    def graphs() -> Iterator[np.ndarray]:
        nonlocal read
        for _ in range(50):
            read += 1
            yield ring(200)

    def interrupt(done: int, total: int | None) -> None:
        assert total is None
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        layout_many(graphs(), threads=1, progress=interrupt, **RUN)
    assert read <= 3  # the one that ran and the look-ahead of one core


def write_edge_lists(directory: Path) -> None:
    directory.mkdir()
    (directory / "a.csv").write_text("source,target\nx,y\ny,z\nz,x\nz,w\n")
    (directory / "b.tsv").write_text("1\t2\t0.5\n2\t3\t2\n")
    (directory / "c.txt").write_text("p q\nq r oops\n")  # a bad weight on line 2
    (directory / "notes.md").write_text("not a graph\n")


def test_directory_writes_one_file_per_graph_and_names_the_failures(tmp_path: Path) -> None:
    write_edge_lists(tmp_path / "in")
    with pytest.raises(BatchError, match=r"1 of 3 graphs failed.*c\.txt: InputError") as info:
        layout_directory(tmp_path / "in", tmp_path / "out", output_format=".npy", **RUN)
    assert info.value.results[:2] == [tmp_path / "out" / "a.npy", tmp_path / "out" / "b.npy"]
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == ["a.npy", "b.npy"]
    for name in ("a.csv", "b.tsv"):
        graph = read_graph(tmp_path / "in" / name)
        expected = layout(graph.edges, n_nodes=len(graph.nodes), weights=graph.weights, **RUN)
        written = np.load(tmp_path / "out" / (Path(name).stem + ".npy"))
        assert np.array_equal(written, expected)


def test_batch_command_exit_statuses(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    write_edge_lists(tmp_path / "in")
    argv = ["--batch", str(tmp_path / "in"), "-o", str(tmp_path / "out"), "--iterations", "5"]
    assert cli.main(argv) == 1
    assert "c.txt:2" in capsys.readouterr().err
    (tmp_path / "in" / "c.txt").unlink()
    assert cli.main(argv) == 0
    assert cli.main([*argv[:1], str(tmp_path / "out" / "a.csv"), *argv[2:]]) == 2
    assert "is not a directory" in capsys.readouterr().err
    assert cli.main([*argv, "--pos", str(tmp_path / "start.csv")]) == 2
    assert "--pos is for one graph" in capsys.readouterr().err


# ---- a Dask cluster of two worker processes ---------------------------------


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as dask_client,
    ):
        yield dask_client


def test_cluster_equals_lone_layouts_and_reports_failures(client: Any, spoiled: np.ndarray) -> None:
    graphs = mixed_graphs()
    graphs.insert(2, spoiled)  # fails on a worker
    graphs.insert(4, (ring(10), {"n_nodes": 3}))  # fails preparing, on the client
    with pytest.raises(BatchError, match=r"2 of 11 graphs failed") as info:
        layout_many(graphs, client=client, **RUN)
    assert list(info.value.failures) == [2, 4]
    assert isinstance(info.value.failures[2], TypeError)
    assert "n_nodes is 3" in str(info.value.failures[4])
    kept = [i for i in range(len(graphs)) if i not in (2, 4)]
    assert_same([info.value.results[i] for i in kept], [lone(graphs[i], RUN) for i in kept])


def test_directory_on_a_scheduler_address_writes_what_threads_write(
    client: Any, tmp_path: Path
) -> None:
    write_edge_lists(tmp_path / "in")
    (tmp_path / "in" / "c.txt").unlink()
    address = client.scheduler.address
    on_cluster = layout_directory(tmp_path / "in", tmp_path / "dask", scheduler=address, **RUN)
    on_threads = layout_directory(tmp_path / "in", tmp_path / "threads", **RUN)
    assert [path.name for path in on_cluster] == ["a.csv", "b.csv"]
    for dask_file, thread_file in zip(on_cluster, on_threads):
        assert dask_file.read_text() == thread_file.read_text()


def scheduler_tasks(client: Any) -> int:
    return int(client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)))


def test_ctrl_c_cancels_the_cluster_tasks(client: Any) -> None:
    def interrupt(done: int, total: int | None) -> None:
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        layout_many([ring(3000)] * 8, client=client, progress=interrupt, iterations=300)
    deadline = time.monotonic() + 20
    while scheduler_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scheduler_tasks(client) == 0


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_batch_completes_when_a_worker_dies_mid_batch(client: Any) -> None:
    graphs = [(ring(2000 + 50 * i), {"barnes_hut": True}) for i in range(10)]
    settings = {"iterations": 150, "seed": 1}
    killed: list[str] = []

    def kill_a_busy_worker(done: int, total: int | None) -> None:
        if killed:
            return
        busy = [worker for worker, keys in client.processing().items() if keys]
        if busy:
            # The nanny starts a fresh worker; the dead one's task runs again.
            os.kill(client.run(os.getpid)[busy[0]], signal.SIGKILL)
            killed.append(busy[0])

    results = layout_many(graphs, client=client, progress=kill_a_busy_worker, **settings)
    assert killed, "no worker was busy when the first graph finished"
    assert_same(results, [lone(entry, settings) for entry in graphs])
