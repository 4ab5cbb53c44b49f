"""Start positions for ``draw_graph``: an ``.obsm`` embedding, PAGA, or none."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["start_positions"]


def start_positions(
    adata: Any,
    init_pos: object,
    adjacency: Any,
    random_state: object,
    neighbors_key: str | None,
    obsp: str | None,
) -> NDArray[np.float64] | None:
    """Return the start positions ``init_pos`` asks for, as scanpy reads it.

    Parameters
    ----------
    adata : AnnData
        The cells.
    init_pos : str, bool or None
        ``None`` or ``False``: no start positions (the layout draws its own).
        ``"paga"`` or ``True``: each cell near its PAGA group's position
        (``adata.uns["paga"]["pos"]``, from ``sc.pl.paga``), placed by
        scanpy's own code, so needs scanpy. Any other string: the first two
        columns of that ``.obsm`` entry.
    adjacency, random_state, neighbors_key, obsp
        As ``draw_graph`` received them, for the PAGA placement.

    Returns
    -------
    ndarray of float64, shape (n_obs, 2), or None

    Raises
    ------
    ValueError
        For a missing ``.obsm`` entry or PAGA layout, or an embedding with
        fewer than two columns.
    TypeError
        For an ``init_pos`` of another type.
    """
    if init_pos is None or init_pos is False:
        return None
    if init_pos is True or init_pos == "paga":
        return _paga_positions(adata, adjacency, random_state, neighbors_key, obsp)
    if not isinstance(init_pos, str):
        raise TypeError(
            f"init_pos must be 'paga', True, None, False or an .obsm key, not "
            f"{type(init_pos).__name__}"
        )
    if init_pos not in adata.obsm:
        raise ValueError(
            f"init_pos={init_pos!r} is not in adata.obsm; it has {sorted(adata.obsm.keys())}"
        )
    embedding = np.asarray(adata.obsm[init_pos])
    if embedding.ndim != 2 or embedding.shape[1] < 2:
        raise ValueError(
            f"adata.obsm[{init_pos!r}] has shape {embedding.shape}; init_pos needs two columns"
        )
    return np.array(embedding[:, :2], dtype=np.float64)


def _paga_positions(
    adata: Any, adjacency: Any, random_state: object, neighbors_key: str | None, obsp: str | None
) -> NDArray[np.float64]:
    if "paga" not in adata.uns or "pos" not in adata.uns["paga"]:
        raise ValueError(
            "init_pos='paga' needs a PAGA layout: run sc.tl.paga(adata) and sc.pl.paga(adata) first"
        )
    try:
        from scanpy.tools._utils import get_init_pos_from_paga  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError as exc:
        raise ImportError(
            "init_pos='paga' places cells as scanpy does and needs scanpy: "
            "pip install 'tallow_forceatlas2[scanpy]'"
        ) from exc
    positions = get_init_pos_from_paga(
        adata, adjacency, random_state=random_state, neighbors_key=neighbors_key, obsp=obsp
    )
    return np.array(positions, dtype=np.float64)
