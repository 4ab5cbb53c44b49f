"""The cell graph of an AnnData object, turned into kernel arrays without copies.

A million cells with k = 15 neighbours make a connectivity matrix of ~25
million stored entries. The general sparse reader copies the matrix and
expands it into int64 index arrays; this one reads the matrix in place, row
block by row block, and allocates only what the kernel keeps (uint32 edges
and float64 weights, about the matrix's own size) plus, for the symmetry
test, one transposed copy (1x to 1.5x the matrix while SciPy makes it),
freed before the edges are made. The edges and weights come out bit for bit
as the general reader makes them, so a layout is the same whichever way the
matrix arrives.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.inputs import MAX_NODES, GraphArrays

__all__ = ["ROW_BLOCK", "cell_graph", "sparse_graph_arrays"]

# Rows read at a time: with ~30 entries a row the temporaries of a block stay
# near a megabyte, small beside the arrays made.
ROW_BLOCK = 1 << 12


def cell_graph(
    adata: Any,
    adjacency: object = None,
    neighbors_key: str | None = None,
    obsp: str | None = None,
) -> Any:
    """Return the graph ``draw_graph`` lays out, chosen as scanpy chooses it.

    Parameters
    ----------
    adata : AnnData
        The cells.
    adjacency : sparse matrix, optional
        Used as given when not None.
    neighbors_key : str, optional
        Read ``adata.obsp[adata.uns[neighbors_key]["connectivities_key"]]``;
        default ``"neighbors"``, falling back to ``adata.obsp["connectivities"]``
        when ``adata.uns`` has no ``"neighbors"`` entry.
    obsp : str, optional
        Read ``adata.obsp[obsp]``; not together with ``neighbors_key``.

    Returns
    -------
    scipy sparse matrix or array, shape (n_obs, n_obs)

    Raises
    ------
    ValueError
        When both ``obsp`` and ``neighbors_key`` are given, when the graph is
        missing, or when its shape does not match the cells.
    """
    if adjacency is None:
        adjacency = _stored_graph(adata, neighbors_key, obsp)
    shape = getattr(adjacency, "shape", None)
    n_obs = int(adata.n_obs)
    if shape != (n_obs, n_obs):
        raise ValueError(
            f"the graph must have shape ({n_obs}, {n_obs}), one row per cell, not {shape}"
        )
    return adjacency


def _stored_graph(adata: Any, neighbors_key: str | None, obsp: str | None) -> Any:
    if obsp is not None and neighbors_key is not None:
        raise ValueError("pass obsp= or neighbors_key=, not both")
    if obsp is not None:
        if obsp not in adata.obsp:
            raise ValueError(f"adata.obsp has no {obsp!r}; it has {sorted(adata.obsp.keys())}")
        return adata.obsp[obsp]
    key = "neighbors" if neighbors_key is None else neighbors_key
    if key not in adata.uns:
        if neighbors_key is None and "connectivities" in adata.obsp:
            return adata.obsp["connectivities"]
        raise ValueError(
            f"adata.uns has no {key!r}: run sc.pp.neighbors(adata"
            + ("" if neighbors_key is None else f", key_added={key!r}")
            + ") first, or pass obsp= or adjacency="
        )
    connectivities = adata.uns[key].get("connectivities_key", "connectivities")
    if connectivities not in adata.obsp:
        raise ValueError(
            f"adata.uns[{key!r}] names adata.obsp[{connectivities!r}], which is missing: "
            f"run sc.pp.neighbors again"
        )
    return adata.obsp[connectivities]


def sparse_graph_arrays(matrix: Any) -> GraphArrays:
    """Convert a square sparse adjacency matrix to kernel arrays, reading it in place.

    Gives the same arrays as ``layout``'s own sparse reader with weights on:
    a symmetric matrix gives its upper triangle (one edge per pair), any other
    every stored entry; explicit zeros are no edges.

    Parameters
    ----------
    matrix : scipy sparse matrix or array, or ndarray
        Square; the values are the weights (finite, >= 0).

    Returns
    -------
    GraphArrays

    Raises
    ------
    ValueError
        For a matrix that is not square or has a weight that is negative or
        not finite.
    """
    csr = _canonical_csr(matrix)
    n = int(csr.shape[0])
    if n > MAX_NODES:
        raise ValueError(f"the graph has {n} nodes; at most {MAX_NODES} are supported")
    symmetric = _is_symmetric(csr)
    kept = sum(int(np.count_nonzero(keep)) for _, _, keep in _row_blocks(csr, symmetric))
    edges = np.empty((kept, 2), dtype=np.uint32)
    weights = np.empty(kept, dtype=np.float64)
    done = 0
    for rows, span, keep in _row_blocks(csr, symmetric):
        values = csr.data[span][keep]
        _check_values(values, rows[keep], csr.indices[span][keep])
        count = len(values)
        edges[done : done + count, 0] = rows[keep]
        edges[done : done + count, 1] = csr.indices[span][keep]
        weights[done : done + count] = values
        done += count
    return GraphArrays(n, edges, weights)


def _canonical_csr(matrix: Any) -> Any:
    import scipy.sparse  # type: ignore[import-untyped]

    shape = getattr(matrix, "shape", None)
    if shape is None or len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"a sparse adjacency matrix must be square, not {shape}")
    if not scipy.sparse.issparse(matrix):
        matrix = scipy.sparse.csr_array(np.asarray(matrix))
    if matrix.format == "csr" and matrix.has_canonical_format and not (matrix.data == 0).any():
        return matrix
    # Anything else is rare for a cell graph: one copy, made canonical.
    csr = scipy.sparse.csr_array(matrix, copy=True)
    csr.sum_duplicates()
    csr.sort_indices()
    csr.eliminate_zeros()
    return csr


def _is_symmetric(csr: Any) -> bool:
    """Whether every stored (i, j, w) has its (j, i, w), values compared exactly."""
    counts = np.bincount(csr.indices, minlength=csr.shape[0])
    if not np.array_equal(counts, np.diff(csr.indptr)):
        return False  # a column's count differs from its row's: cheap early answer
    transposed = csr.T.tocsr()  # one copy, freed on return
    transposed.sort_indices()
    return bool(
        np.array_equal(transposed.indices, csr.indices)
        and np.array_equal(transposed.data, csr.data)
    )


RowBlock = tuple[NDArray[np.uint32], slice, NDArray[np.bool_]]


def _row_blocks(csr: Any, symmetric: bool) -> Iterator[RowBlock]:
    """Yield (row of each entry, slice of the entries, entries kept) per block of rows."""
    indptr = csr.indptr
    for first in range(0, int(csr.shape[0]), ROW_BLOCK):
        last = min(first + ROW_BLOCK, int(csr.shape[0]))
        span = slice(int(indptr[first]), int(indptr[last]))
        rows = np.repeat(np.arange(first, last, dtype=np.uint32), np.diff(indptr[first : last + 1]))
        keep = csr.indices[span] >= rows if symmetric else np.ones(len(rows), dtype=bool)
        yield rows, span, keep


def _check_values(values: NDArray[Any], rows: NDArray[Any], cols: NDArray[Any]) -> None:
    bad = ~np.isfinite(values) | (values < 0)
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(
            f"the graph's entry ({int(rows[k])}, {int(cols[k])}) is {values[k]}: "
            "weights must be finite and >= 0"
        )
