"""scanpy's backend adapter: ``sc.tl.draw_graph(adata, backend="tallow")`` runs here.

Registered under the ``scanpy.backends`` entry point group, the contract of
scverse-backends: a module with ``name``, ``aliases`` and a callable named
after the host function. Nothing here imports scverse-backends or scanpy, so
the package works the same without them.
"""

from __future__ import annotations

from typing import Any

__all__ = ["aliases", "draw_graph", "name"]

name = "tallow"
aliases = ["tallow-forceatlas2", "tallow_forceatlas2"]


def draw_graph(
    adata: Any,
    layout: str = "fa",
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
    **kwds: Any,
) -> Any:
    """Force-directed graph drawing with ForceAtlas2, multithreaded and deterministic.

    Takes ``sc.tl.draw_graph``'s arguments and writes the same fields; see
    :func:`tallow_forceatlas2.scanpy.draw_graph`.

    Parameters
    ----------
    adata
        Annotated data matrix.
    layout
        Only ``"fa"`` (ForceAtlas2); for igraph's layouts pass ``backend="cpu"``.
    init_pos, root, random_state, n_jobs, adjacency, key_added_ext, neighbors_key, obsp, copy
        As for scanpy's ``draw_graph``.
    preset
        ``"scanpy"`` runs scanpy's own ForceAtlas2 settings (500 iterations,
        classic forces); default this package's (multilevel start on 10,000
        cells and more).
    **kwds
        Keywords of ``tallow_forceatlas2.layout`` (``iterations``,
        ``progress``, ...); ``maxiter`` means ``iterations``.

    Returns
    -------
    The copy when ``copy=True``, else None.
    """
    if layout != "fa":
        raise ValueError(
            f"the tallow backend draws layout='fa' (ForceAtlas2) only, not {layout!r}; "
            "pass backend='cpu' for scanpy's igraph layouts"
        )
    from tallow_forceatlas2.scanpy import draw_graph as draw_fa

    return draw_fa(
        adata,
        init_pos=init_pos,
        root=root,
        random_state=random_state,
        n_jobs=n_jobs,
        adjacency=adjacency,
        key_added_ext=key_added_ext,
        neighbors_key=neighbors_key,
        obsp=obsp,
        copy=copy,
        preset=preset,
        **kwds,
    )
