"""tallow_forceatlas2.scanpy.draw_graph: scanpy's draw_graph on AnnData, and its backend adapter."""

from __future__ import annotations

import importlib.metadata
import tracemalloc
from typing import Any

import numpy as np
import pytest

anndata = pytest.importorskip("anndata", reason="the AnnData entry point needs anndata")
scipy_sparse = pytest.importorskip("scipy.sparse")

from tallow_forceatlas2 import layout
from tallow_forceatlas2.inputs import graph_arrays
from tallow_forceatlas2.scanpy import SCANPY_SETTINGS, draw_graph
from tallow_forceatlas2.scanpy.adjacency import sparse_graph_arrays

FAST = {"iterations": 20, "progress": False}


def knn_connectivities(points: np.ndarray, k: int = 6) -> Any:
    """A symmetric kNN graph with float32 weights, shaped like scanpy's connectivities."""
    n = len(points)
    distances = ((points[:, None, :] - points[None, :, :]) ** 2).sum(-1)
    np.fill_diagonal(distances, np.inf)
    nearest = np.argsort(distances, axis=1)[:, :k]
    rows = np.repeat(np.arange(n), k)
    weights = np.exp(-np.sqrt(distances[rows, nearest.ravel()])).astype(np.float32)
    directed = scipy_sparse.csr_matrix((weights, (rows, nearest.ravel())), shape=(n, n))
    graph = directed.maximum(directed.T).tocsr()
    graph.sort_indices()
    return graph


def cells(n_per_cluster: int = 30, seed: int = 0, neighbors: bool = True) -> Any:
    """Three clusters of cells with a neighbour graph stored as sc.pp.neighbors stores it."""
    rng = np.random.default_rng(seed)
    points = np.vstack([rng.normal(c, 1.0, (n_per_cluster, 5)) for c in (0.0, 2.5, 5.0)])
    adata = anndata.AnnData(points.astype(np.float32))
    if neighbors:
        adata.obsp["connectivities"] = knn_connectivities(points)
        adata.uns["neighbors"] = {
            "connectivities_key": "connectivities",
            "distances_key": "distances",
            "params": {"n_neighbors": 6, "method": "umap"},
        }
    return adata


def test_writes_what_scanpy_writes() -> None:
    sc = pytest.importorskip("scanpy", reason="compares with scanpy's own draw_graph")
    pytest.importorskip("fa2_modified", reason="scanpy's draw_graph needs fa2-modified")
    theirs, ours = cells(10), cells(10)
    sc.tl.draw_graph(theirs, key_added_ext="x", maxiter=5)
    sc.tl.draw_graph(theirs, random_state=4, maxiter=5)
    draw_graph(ours, key_added_ext="x", **FAST)
    draw_graph(ours, random_state=4, **FAST)
    assert set(ours.obsm) == set(theirs.obsm) == {"X_draw_graph_fa", "X_draw_graph_x"}
    for key in theirs.obsm:
        assert type(ours.obsm[key]) is type(theirs.obsm[key])
        assert ours.obsm[key].dtype == theirs.obsm[key].dtype
        assert ours.obsm[key].shape == theirs.obsm[key].shape
    assert ours.uns["draw_graph"] == theirs.uns["draw_graph"]
    assert set(ours.uns) == set(theirs.uns)


# scanpy's plotting calls matplotlib functions that newer matplotlib deprecates.
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_scanpy_plots_the_result() -> None:
    sc = pytest.importorskip("scanpy", reason="draws with scanpy's sc.pl.draw_graph")
    import matplotlib

    matplotlib.use("Agg")
    adata = cells(10)
    adata.obs["cluster"] = np.repeat(["a", "b", "c"], 10)
    draw_graph(adata, **FAST)
    axes = sc.pl.draw_graph(adata, color="cluster", show=False)
    assert len(axes.collections) > 0
    import matplotlib.pyplot as plt

    plt.close("all")


def test_scanpy_preset_is_layout_with_scanpy_settings() -> None:
    adata = cells()
    draw_graph(adata, preset="scanpy", random_state=3, progress=False)
    expected = layout(adata.obsp["connectivities"], seed=3, **SCANPY_SETTINGS)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], expected)


def test_same_bits_for_one_and_two_threads() -> None:
    one, two = cells(300), cells(300)
    draw_graph(one, n_jobs=1, preset="scanpy", iterations=50, progress=False)
    draw_graph(two, n_jobs=2, preset="scanpy", iterations=50, progress=False)
    assert np.array_equal(one.obsm["X_draw_graph_fa"], two.obsm["X_draw_graph_fa"])


def test_maxiter_is_iterations() -> None:
    by_maxiter, by_iterations = cells(), cells()
    draw_graph(by_maxiter, maxiter=7, progress=False)
    draw_graph(by_iterations, iterations=7, progress=False)
    assert np.array_equal(by_maxiter.obsm["X_draw_graph_fa"], by_iterations.obsm["X_draw_graph_fa"])


def test_init_pos_from_obsm() -> None:
    adata = cells()
    start = np.random.default_rng(1).integers(-50, 50, (adata.n_obs, 3)).astype(np.float64)
    adata.obsm["X_start"] = start
    draw_graph(adata, init_pos="X_start", iterations=0, progress=False)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], start[:, :2])
    draw_graph(adata, init_pos="X_start", **FAST)
    expected = layout(adata.obsp["connectivities"], pos=start[:, :2], seed=0, iterations=20)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], expected)


def test_init_pos_paga_places_cells_as_scanpy_does() -> None:
    pytest.importorskip("scanpy", reason="PAGA starts are placed by scanpy")
    from scanpy.tools._utils import get_init_pos_from_paga

    adata = cells()
    adata.obs["group"] = np.repeat(["a", "b", "c"], 30)
    adata.obs["group"] = adata.obs["group"].astype("category")
    connections = scipy_sparse.csr_matrix(np.array([[0, 1, 0], [1, 0, 1], [0, 1, 0]], float))
    adata.uns["paga"] = {
        "groups": "group",
        "pos": np.array([[0.0, 0.0], [8.0, 1.0], [3.0, 9.0]]),
        "connectivities": connections,
        "connectivities_tree": connections,
    }
    draw_graph(adata, init_pos="paga", random_state=2, iterations=0, progress=False)
    expected = get_init_pos_from_paga(adata, adata.obsp["connectivities"], random_state=2)
    as_float32 = np.asarray(expected, dtype=np.float32).astype(np.float64)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], as_float32)


@pytest.mark.parametrize(
    ("init_pos", "error", "match"),
    [
        ("X_missing", ValueError, "not in adata.obsm"),
        ("X_one", ValueError, "two columns"),
        ("paga", ValueError, "sc.tl.paga"),
        (3, TypeError, "init_pos must be"),
    ],
    ids=lambda value: str(value),
)
def test_bad_init_pos(init_pos: object, error: type[Exception], match: str) -> None:
    adata = cells()
    adata.obsm["X_one"] = np.zeros((adata.n_obs, 1))
    with pytest.raises(error, match=match):
        draw_graph(adata, init_pos=init_pos, **FAST)


@pytest.mark.parametrize("copy", [True, False], ids=lambda c: f"copy={c}")
def test_copy(copy: bool) -> None:
    adata = cells()
    result = draw_graph(adata, copy=copy, **FAST)
    if copy:
        assert result is not adata and isinstance(result, anndata.AnnData)
        assert "X_draw_graph_fa" in result.obsm and "draw_graph" in result.uns
        assert "X_draw_graph_fa" not in adata.obsm and "draw_graph" not in adata.uns
    else:
        assert result is None
        assert "X_draw_graph_fa" in adata.obsm and "draw_graph" in adata.uns


@pytest.mark.parametrize("how", ["neighbors_key", "obsp", "adjacency"])
def test_chooses_the_graph(how: str) -> None:
    adata = cells()
    other = knn_connectivities(np.random.default_rng(5).normal(size=(adata.n_obs, 3)), k=4)
    adata.obsp["other_connectivities"] = other
    adata.uns["other"] = {"connectivities_key": "other_connectivities"}
    choice = {
        "neighbors_key": {"neighbors_key": "other"},
        "obsp": {"obsp": "other_connectivities"},
        "adjacency": {"adjacency": other},
    }[how]
    draw_graph(adata, **choice, **FAST)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], layout(other, seed=0, iterations=20))


def test_connectivities_without_neighbors_entry() -> None:
    adata = cells()
    del adata.uns["neighbors"]
    draw_graph(adata, **FAST)
    expected = layout(adata.obsp["connectivities"], seed=0, iterations=20)
    assert np.array_equal(adata.obsm["X_draw_graph_fa"], expected)


@pytest.mark.parametrize(
    ("arguments", "match"),
    [
        ({}, r"run sc\.pp\.neighbors"),
        ({"neighbors_key": "mine"}, "key_added='mine'"),
        ({"obsp": "missing"}, "adata.obsp has no 'missing'"),
        ({"obsp": "a", "neighbors_key": "b"}, "not both"),
        ({"adjacency": scipy_sparse.eye(4, format="csr")}, r"shape \(90, 90\)"),
    ],
    ids=["no graph", "neighbors_key", "obsp", "both", "shape"],
)
def test_missing_graph(arguments: dict[str, Any], match: str) -> None:
    with pytest.raises(ValueError, match=match):
        draw_graph(cells(neighbors=False), **arguments, **FAST)


def test_stale_connectivities_key() -> None:
    adata = cells()
    del adata.obsp["connectivities"]
    with pytest.raises(ValueError, match="which is missing"):
        draw_graph(adata, **FAST)


@pytest.mark.parametrize(
    ("arguments", "error", "match"),
    [
        ({"preset": "umap"}, ValueError, "preset must be"),
        ({"n_jobs": 0}, ValueError, "n_jobs must not be 0"),
        ({"n_jobs": 1.5}, TypeError, "n_jobs must be an integer"),
        ({"random_state": "seed"}, TypeError, "random_state must be"),
        ({"maxiter": 3, "iterations": 3}, TypeError, "not both"),
        ({"gravitee": 1.0}, TypeError, "gravitee"),
    ],
    ids=["preset", "n_jobs=0", "n_jobs float", "random_state", "maxiter", "unknown"],
)
def test_bad_arguments(arguments: dict[str, Any], error: type[Exception], match: str) -> None:
    adata = cells()
    with pytest.raises(error, match=match):
        draw_graph(adata, **{"progress": False, **arguments})
    assert "X_draw_graph_fa" not in adata.obsm


def test_random_state_object_and_none() -> None:
    first, second = cells(), cells()
    draw_graph(first, random_state=np.random.RandomState(3), **FAST)
    draw_graph(second, random_state=np.random.RandomState(3), **FAST)
    assert np.array_equal(first.obsm["X_draw_graph_fa"], second.obsm["X_draw_graph_fa"])
    draw_graph(second, random_state=None, **FAST)
    assert second.uns["draw_graph"]["params"]["random_state"] is None


def _variants() -> dict[str, Any]:
    base = knn_connectivities(np.random.default_rng(2).normal(size=(40, 3)))
    lower = scipy_sparse.tril(base, format="csr")
    zeros = base.copy()
    zeros.data[::7] = 0.0
    duplicated = scipy_sparse.csr_matrix(
        (np.r_[base.data, base.data[:5]], np.r_[base.indices, base.indices[:5]], base.indptr)
    )
    duplicated.indptr = base.indptr.copy()
    duplicated.indptr[1:] += 5
    coo = base.tocoo()
    return {
        "symmetric": base,
        "lower triangle": lower,
        "explicit zeros": zeros,
        "csc": base.tocsc(),
        "coo with duplicates": scipy_sparse.coo_matrix(
            (np.r_[coo.data, coo.data], (np.r_[coo.row, coo.row], np.r_[coo.col, coo.col])),
            shape=coo.shape,
        ),
        "dense": base.toarray(),
        "csr_array": scipy_sparse.csr_array(base),
    }


@pytest.mark.parametrize("name", list(_variants()))
def test_graph_arrays_as_the_general_reader_makes_them(name: str) -> None:
    matrix = _variants()[name]
    ours = sparse_graph_arrays(matrix)
    general = graph_arrays(scipy_sparse.csr_array(matrix))
    assert ours.n_nodes == general.n_nodes
    assert np.array_equal(ours.edges, general.edges)
    assert ours.weights is not None and general.weights is not None
    assert np.array_equal(ours.weights, general.weights)


@pytest.mark.parametrize("bad", [-1.0, np.nan, np.inf], ids=["negative", "nan", "inf"])
def test_bad_weights(bad: float) -> None:
    matrix = knn_connectivities(np.random.default_rng(2).normal(size=(20, 3)))
    matrix.data[3] = bad
    with pytest.raises(ValueError, match="weights must be finite and >= 0"):
        sparse_graph_arrays(matrix)


def test_graph_arrays_do_not_copy_the_matrix_twice() -> None:
    # The general reader's copies and int64 indices take ~6x the matrix;
    # reading in place keeps the peak at the transposed copy of the symmetry
    # test (1x to 1.5x, by SciPy version) or the arrays made (1x).
    n, k = 20_000, 15
    rng = np.random.default_rng(0)
    rows = np.repeat(np.arange(n), k)
    cols = (rows + rng.integers(1, 300, n * k)) % n
    directed = scipy_sparse.csr_matrix(
        (rng.random(n * k, dtype=np.float32), (rows, cols)), shape=(n, n)
    )
    matrix = directed.maximum(directed.T).tocsr()
    matrix.sort_indices()
    size = matrix.data.nbytes + matrix.indices.nbytes + matrix.indptr.nbytes
    tracemalloc.start()
    try:
        arrays = sparse_graph_arrays(matrix)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert arrays.edges.shape[0] == (matrix.nnz + 1) // 2
    assert peak < 2.0 * size


def test_backend_entry_point() -> None:
    (entry,) = importlib.metadata.entry_points(group="scanpy.backends", name="tallow")
    adapter = entry.load()
    assert adapter.name == "tallow"
    assert isinstance(adapter.aliases, list) and "cpu" not in adapter.aliases
    assert "draw_graph" in adapter.__all__
    through, direct = cells(), cells()
    adapter.draw_graph(through, "fa", random_state=1, **FAST)
    draw_graph(direct, random_state=1, **FAST)
    assert np.array_equal(through.obsm["X_draw_graph_fa"], direct.obsm["X_draw_graph_fa"])
    with pytest.raises(ValueError, match="layout='fa'"):
        adapter.draw_graph(cells(), "fr")


def test_progress_passes_through() -> None:
    seen: list[tuple[int, int]] = []
    draw_graph(cells(), iterations=5, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (5, 5)
