"""``draw_graph``: scanpy's ``sc.tl.draw_graph(adata, layout="fa")``, on this package's layout."""

from __future__ import annotations

import importlib.util
import numbers
from typing import Any

import numpy as np

from tallow_forceatlas2.api import available_threads, layout
from tallow_forceatlas2.scanpy.adjacency import cell_graph, sparse_graph_arrays
from tallow_forceatlas2.scanpy.start import start_positions

__all__ = ["SCANPY_SETTINGS", "draw_graph"]

# What sc.tl.draw_graph(adata, layout="fa") runs with: ForceAtlas2's classic
# forces (no hub dissuasion, no lin-log, classic gravity 1), Barnes-Hut with
# theta 1.2, 500 iterations from a random start.
SCANPY_SETTINGS: dict[str, Any] = {
    "iterations": 500,
    "multilevel": False,
    "lin_log": False,
    "dissuade_hubs": False,
    "prevent_overlap": False,
    "edge_weight_influence": 1.0,
    "scaling_ratio": 2.0,
    "strong_gravity": False,
    "gravity": 1.0,
    "slow_down": 1.0,
    "barnes_hut": True,
    "barnes_hut_theta": 1.2,
}

_PRESETS: dict[str | None, dict[str, Any]] = {None: {}, "scanpy": SCANPY_SETTINGS}


def draw_graph(
    adata: Any,
    *,
    init_pos: str | bool | None = None,
    root: int | None = None,
    random_state: object = 0,
    n_jobs: int | None = None,
    adjacency: object = None,
    key_added_ext: str | None = None,
    neighbors_key: str | None = None,
    obsp: str | None = None,
    copy: bool = False,
    preset: str | None = None,
    **settings: Any,
) -> Any:
    """Lay out the cell graph with ForceAtlas2, as ``sc.tl.draw_graph(adata, layout="fa")``.

    Writes what scanpy writes, so ``sc.pl.draw_graph(adata)`` draws it:
    ``adata.obsm["X_draw_graph_fa"]`` (float64, one row per cell) and
    ``adata.uns["draw_graph"] = {"params": {"layout": "fa", "random_state": ...}}``.
    The graph is read in place (no dense copy); the run is multithreaded and
    the same bit for bit for any ``n_jobs``.

    Parameters
    ----------
    adata : AnnData
        Cells with a neighbour graph (``sc.pp.neighbors``).
    init_pos : str, bool or None
        ``"paga"``/``True`` to start each cell at its PAGA group (after
        ``sc.tl.paga`` and ``sc.pl.paga``), an ``.obsm`` key to start from
        that embedding's first two columns, ``None``/``False`` for this
        package's start (random, or multilevel on 10,000 cells and more).
    root : int, optional
        Accepted for scanpy's signature; ForceAtlas2 has no root.
    random_state : int, RandomState or None, default 0
        Seed of the start; the same integer gives the same picture.
    n_jobs : int, optional
        Threads; default all this process may use (where it pays); negative
        counts back from all (-1 all, -2 all but one).
    adjacency : sparse matrix, optional
        The graph to lay out; default the neighbour graph's connectivities.
    key_added_ext : str, optional
        Write ``adata.obsm["X_draw_graph_" + key_added_ext]``; default ``"fa"``.
    neighbors_key : str, optional
        Lay out ``adata.obsp[adata.uns[neighbors_key]["connectivities_key"]]``.
    obsp : str, optional
        Lay out ``adata.obsp[obsp]``; not together with ``neighbors_key``.
    copy : bool, default False
        Work on a copy of ``adata`` and return it.
    preset : {None, "scanpy"}
        ``"scanpy"`` runs scanpy's own settings (:data:`SCANPY_SETTINGS`:
        classic ForceAtlas2, 500 iterations, no multilevel start); keywords
        given beside it win. Default: this package's (see ``layout``).
    **settings
        Any keyword of :func:`tallow_forceatlas2.layout` (``iterations``,
        ``lin_log``, ``gravity``, ``progress``, ...); scanpy's ``maxiter``
        means ``iterations``. ``progress`` defaults to a bar (when tqdm is
        installed) on runs longer than half a second.

    Returns
    -------
    AnnData or None
        The copy when ``copy=True``, else None.

    Raises
    ------
    ValueError, TypeError
        For a missing graph or embedding, or bad settings, before any work.
    """
    if preset not in _PRESETS:
        raise ValueError(f"preset must be None or 'scanpy', not {preset!r}")
    chosen = {**_PRESETS[preset], **_scanpy_names(settings)}
    chosen.setdefault("progress", importlib.util.find_spec("tqdm") is not None)
    graph = cell_graph(adata, adjacency, neighbors_key, obsp)
    pos = start_positions(adata, init_pos, graph, random_state, neighbors_key, obsp)
    positions = layout(
        sparse_graph_arrays(graph),
        pos=pos,
        seed=_seed(random_state),
        threads=_threads(n_jobs),
        **chosen,
    )
    if copy:
        adata = adata.copy()
    adata.obsm[f"X_draw_graph_{key_added_ext or 'fa'}"] = positions
    adata.uns["draw_graph"] = {"params": {"layout": "fa", "random_state": random_state}}
    return adata if copy else None


def _scanpy_names(settings: dict[str, Any]) -> dict[str, Any]:
    """Rename scanpy's ``maxiter`` to ``iterations``."""
    if "maxiter" not in settings:
        return settings
    if "iterations" in settings:
        raise TypeError("pass iterations= or maxiter=, not both")
    renamed = dict(settings)
    renamed["iterations"] = renamed.pop("maxiter")
    return renamed


def _seed(random_state: object) -> int | None:
    if random_state is None:
        return None
    if isinstance(random_state, np.random.RandomState):
        # The multilevel start takes integer seeds; draw one, as a RandomState would.
        return int(random_state.randint(2**31 - 1))
    if isinstance(random_state, (bool, np.bool_)) or not isinstance(random_state, numbers.Integral):
        raise TypeError(
            f"random_state must be an integer, a numpy RandomState or None, not "
            f"{type(random_state).__name__}"
        )
    return int(random_state)


def _threads(n_jobs: object) -> int | None:
    if n_jobs is None:
        return None
    if isinstance(n_jobs, (bool, np.bool_)) or not isinstance(n_jobs, numbers.Integral):
        raise TypeError(f"n_jobs must be an integer or None, not {type(n_jobs).__name__}")
    count = int(n_jobs)
    if count == 0:
        raise ValueError("n_jobs must not be 0 (None or -1 use every processor)")
    return count if count > 0 else max(1, available_threads() + 1 + count)
