"""Turn the graphs people have into the arrays the kernel reads.

Every supported input (an integer edge array, a SciPy sparse adjacency
matrix, a networkx graph, an igraph graph) becomes a node count, a
C-contiguous ``(m, 2)`` uint32 edge array and optional float64 weights, after
checks that leave nothing for the kernel to reject.
"""

from __future__ import annotations

import numbers
from collections.abc import Hashable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.caller_warnings import warn_caller
from tallow_forceatlas2.echo import echo

__all__ = [
    "GraphArrays",
    "check_weights_array",
    "graph_arrays",
    "graph_kind",
    "warn_missing_weight",
]

# The kernel stores node indices as uint32.
MAX_NODES = 2**32
# Node indices are positions in the node array, and every index below the
# largest is a node that costs memory and time. Past the range other
# ForceAtlas2 tools address exactly (3,355,444, where an index times 10 stops
# being exact in float32) a graph costs ~0.3 GB and ~1 s per iteration,
# so an edge array whose largest index is that large while its edges could
# touch fewer than a tenth of the nodes (more than 90% of them would be
# isolated) holds identifiers, not indices, and is refused. An explicit
# n_nodes= is taken as meant; memory is checked separately (limits.py).
SPARSE_INDEX_NODES = 3_355_445
SPARSE_INDEX_FACTOR = 10


@dataclass(frozen=True)
class GraphArrays:
    """A graph in the kernel's terms.

    Attributes
    ----------
    n_nodes : int
        Number of nodes; every index in ``edges`` is below it.
    edges : ndarray of uint32, shape (m, 2)
        Source and target index of every edge, C-contiguous.
    weights : ndarray of float64, shape (m,), or None
        Finite, non-negative edge weights, or None for weight 1 everywhere.
    nodes : list or None
        The node labels in index order, for graphs that have labels
        (networkx); None when the index is the node.
    names : list or None
        Names for messages when they differ from ``nodes`` (igraph vertex
        names); see :attr:`labels`.
    """

    n_nodes: int
    edges: NDArray[np.uint32]
    weights: NDArray[np.float64] | None
    nodes: list[Hashable] | None = None
    names: Sequence[Hashable] | None = None

    @property
    def labels(self) -> Sequence[Hashable] | None:
        """How messages name the nodes, in index order; None names them by index."""
        return self.names if self.names is not None else self.nodes


def graph_kind(graph: object) -> str:
    """Name the kind of input: "scipy", "dataframe", "networkx", "igraph" or "array"."""
    return _kind(graph)


def _kind(graph: object) -> str:
    module = type(graph).__module__ or ""
    if module.startswith("scipy.sparse"):
        return "scipy"
    table_protocols = ("__dataframe__", "__arrow_c_stream__")
    if hasattr(graph, "columns") and any(hasattr(graph, name) for name in table_protocols):
        return "dataframe"
    if hasattr(graph, "adj") and hasattr(graph, "is_multigraph"):
        return "networkx"
    if module.split(".")[0] == "igraph" and hasattr(graph, "get_edgelist"):
        return "igraph"
    return "array"


def graph_arrays(
    graph: object,
    *,
    n_nodes: int | None = None,
    weights: object = None,
    weight: str | None = "weight",
    source: str | None = None,
    target: str | None = None,
) -> GraphArrays:
    """Check a graph and convert it to kernel arrays.

    Parameters
    ----------
    graph : array_like, scipy sparse matrix or array, networkx or igraph graph, DataFrame
        An ``(m, 2)`` array of integer node indices (any integer dtype), a
        square sparse adjacency matrix, a graph object, or an edge table: a
        pandas DataFrame or any DataFrame with the interchange protocol
        (polars, ...; read through pandas) whose rows are edges.
    n_nodes : int, optional
        Number of nodes of an edge array; default: the largest index + 1.
    weights : array_like, optional
        ``(m,)`` edge weights for an edge array.
    weight : str or None
        Edge attribute holding the weight of a networkx or igraph edge (a
        missing attribute counts as 1); for a sparse matrix, ``None`` ignores
        the stored values; for an edge table, the weight column (used when
        present). ``None`` lays the graph out unweighted.
    source, target : str, optional
        The columns of an edge table holding each edge's nodes; default
        ``"source"`` and ``"target"``, as ``networkx.from_pandas_edgelist``.
        Nodes are numbered in order of first appearance, row by row, source
        before target.

    Returns
    -------
    GraphArrays

    Raises
    ------
    TypeError, ValueError
        With a message saying what to change.
    """
    if isinstance(graph, GraphArrays) and n_nodes is None and weights is None:
        return graph  # already checked, by the command line's readers
    kind = _kind(graph)
    if kind != "dataframe" and (source is not None or target is not None):
        raise TypeError(
            "source= and target= name the columns of a DataFrame edge table, not of "
            + ("an edge array" if kind == "array" else f"a {kind} graph")
        )
    if kind == "dataframe":
        from tallow_forceatlas2.io.dataframes import from_dataframe

        return from_dataframe(graph, source or "source", target or "target", weight)
    if kind != "array":
        if n_nodes is not None:
            raise TypeError(f"n_nodes is only for edge arrays; a {kind} graph knows its nodes")
        if weights is not None:
            raise TypeError(
                f"weights= is only for edge arrays; for a {kind} graph pass weight= "
                "(the edge attribute or, for a sparse matrix, None to ignore its values)"
            )
    if kind == "scipy":
        return _from_sparse(graph, weight)
    if kind == "networkx":
        return _from_networkx(graph, weight)
    if kind == "igraph":
        return _from_igraph(graph, weight)
    return _from_edge_array(graph, n_nodes, weights)


def _check_n_nodes(n_nodes: object) -> int:
    if isinstance(n_nodes, (bool, np.bool_)) or not isinstance(n_nodes, numbers.Integral):
        raise TypeError(f"n_nodes must be an integer, not {type(n_nodes).__name__}")
    count = int(n_nodes)
    if not 0 <= count <= MAX_NODES:
        raise ValueError(f"n_nodes must be between 0 and {MAX_NODES}, not {count}")
    return count


def _from_edge_array(graph: object, n_nodes: int | None, weights: object) -> GraphArrays:
    try:
        array = np.asarray(graph)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"edges must be an (m, 2) array of node indices: {exc}") from exc
    if array.size == 0 and array.shape in ((0,), (0, 2)):
        array = np.empty((0, 2), dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(
            f"edges must be an (m, 2) array of integer node indices, not of dtype {array.dtype} "
            "(convert node labels to indices, or pass a networkx or igraph graph)"
        )
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"edges must have shape (m, 2), not {array.shape}")
    highest = int(array.max()) if len(array) else -1
    if len(array) and array.dtype.kind == "i" and int(array.min()) < 0:
        row = int(np.argmax((array < 0).any(axis=1)))
        raise ValueError(f"edges row {row} is {array[row].tolist()}: node indices must be >= 0")
    count = highest + 1 if n_nodes is None else _check_n_nodes(n_nodes)
    if highest >= count:
        row = int(np.argmax((array >= count).any(axis=1)))
        raise ValueError(
            f"edges row {row} is {array[row].tolist()} but n_nodes is {count}: "
            f"node indices must be below n_nodes (pass n_nodes={highest + 1} or more)"
        )
    if count > MAX_NODES:
        raise ValueError(f"node indices must be below {MAX_NODES}, not {highest}")
    if n_nodes is None:
        _check_dense_indices(count, len(array))
    edges = np.ascontiguousarray(array, dtype=np.uint32)
    return GraphArrays(count, edges, _check_weights(weights, len(edges), "weights"))


def _check_dense_indices(count: int, n_edges: int) -> None:
    touched = 2 * n_edges  # at most this many distinct nodes
    if count >= SPARSE_INDEX_NODES and count > SPARSE_INDEX_FACTOR * touched:
        raise ValueError(
            f"the largest node index is {count - 1:,}, so the graph would have {count:,} "
            f"nodes, but its {n_edges:,} edge(s) touch at most {touched:,}: node indices "
            "must be below n_nodes and number the nodes 0, 1, 2, ...; relabel identifiers "
            "first, e.g. labels, inverse = np.unique(edges, return_inverse=True); "
            "edges = inverse.reshape(edges.shape) (or pass n_nodes= to keep the "
            "isolated nodes)"
        )


def check_weights_array(weights: object, n_edges: int, what: str) -> NDArray[np.float64] | None:
    """Check ``(m,)`` edge weights: real, finite, >= 0; float64 out (None stays None)."""
    return _check_weights(weights, n_edges, what)


def _check_weights(weights: object, n_edges: int, what: str) -> NDArray[np.float64] | None:
    if weights is None:
        return None
    try:
        values = np.asarray(weights)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be an array of real numbers: {exc}") from exc
    if values.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be real numbers, not of dtype {values.dtype}")
    if values.shape != (n_edges,):
        raise ValueError(f"{what} must have shape ({n_edges},), one per edge, not {values.shape}")
    values = np.ascontiguousarray(values, dtype=np.float64)
    bad = ~np.isfinite(values) | (values < 0)
    if bad.any():
        index = int(np.argmax(bad))
        raise ValueError(f"{what}[{index}] is {values[index]}: weights must be finite and >= 0")
    return values


def _from_sparse(matrix: Any, weight: str | None) -> GraphArrays:
    import scipy.sparse  # type: ignore[import-untyped]

    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(f"a sparse adjacency matrix must be square, not {matrix.shape}")
    csr = scipy.sparse.csr_array(matrix, copy=True)
    csr.sum_duplicates()
    csr.sort_indices()
    csr.eliminate_zeros()
    n = int(csr.shape[0])
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(csr.indptr))
    cols = csr.indices.astype(np.int64)
    if weight is None:
        csr.data = np.ones_like(csr.data, dtype=np.float64)
    values = _check_weights(csr.data, len(rows), "sparse matrix values")
    assert values is not None
    # A symmetric matrix stores each undirected edge twice; keep the upper
    # triangle (diagonal included) so each pair attracts once.
    if (csr != csr.T).nnz == 0:
        upper = rows <= cols
        rows, cols, values = rows[upper], cols[upper], values[upper]
    edges = np.ascontiguousarray(np.stack([rows, cols], axis=1), dtype=np.uint32)
    return GraphArrays(_check_n_nodes(n), edges, values if weight is not None else None)


def _from_networkx(graph: Any, weight: str | None) -> GraphArrays:
    nodes: list[Hashable] = list(graph)
    index = {node: i for i, node in enumerate(nodes)}
    # A multigraph's edges() yields every parallel edge, in the same order as
    # for a simple graph: per node in node order, then per neighbour.
    pairs: Sequence[tuple[Any, Any]] = list(graph.edges())
    values = None
    if weight is not None:
        raw = [w for *_, w in graph.edges(data=weight, default=1)]
        values = _edge_weights(raw, pairs, weight)
        if pairs and not any(weight in data for *_, data in graph.edges(data=True)):
            keys = {key for *_, data in graph.edges(data=True) for key in data}
            warn_missing_weight(weight, keys)
    flat = np.fromiter(
        (index[node] for pair in pairs for node in pair[:2]),
        dtype=np.int64,
        count=2 * len(pairs),
    )
    edges = np.ascontiguousarray(flat.reshape(-1, 2), dtype=np.uint32)
    return GraphArrays(_check_n_nodes(len(nodes)), edges, values, nodes)


def warn_missing_weight(weight: str, present: Iterable[str], what: str = "attribute") -> None:
    """Say that the weight attribute (or column) named is on no edge: most likely a misspelling.

    The default name is only worth a word when the edges have another
    attribute that looks like a weight; a graph without weights is common.
    """
    names = sorted(str(name) for name in present)
    if weight == "weight" and not any("weight" in name.lower() for name in names):
        return
    listing = ", ".join(echo(name) for name in names[:10]) if names else "none"
    if what == "column":
        missing, have = f"the edge table has no {weight!r} column", f"its columns: {listing}"
    else:
        missing = f"no edge has a {weight!r} attribute"
        have = f"the edges have {listing}" if names else "the edges have no attributes"
    warn_caller(
        f"{missing}, so the layout is unweighted; {have} "
        "(pass weight=None to lay out without weights)",
    )


def _is_real(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _edge_weights(
    raw: list[object], pairs: Sequence[tuple[Any, Any]], weight: str
) -> NDArray[np.float64]:
    try:
        values = np.asarray(raw, dtype=np.float64) if raw else np.empty(0)
        typed = all(_is_real(value) for value in raw)
    except (TypeError, ValueError, OverflowError):
        values, typed = np.full(len(raw), np.nan), False
    bad = ~np.isfinite(values) | (values < 0)
    if typed and not bad.any():
        return values
    for k, value in enumerate(raw):
        if bad[k] or not _is_real(value):
            u, v = pairs[k]
            raise ValueError(
                f"edge ({echo(u)}, {echo(v)}) has {weight}={echo(value)}: weights must be finite "
                f"real numbers >= 0 (or pass weight=None to ignore them)"
            )
    return values


def _from_igraph(graph: Any, weight: str | None) -> GraphArrays:
    pairs = graph.get_edgelist()
    edges = np.array(pairs, dtype=np.uint32).reshape(-1, 2)
    values = None
    if weight is not None and weight in graph.es.attributes():
        raw = [1 if w is None else w for w in graph.es[weight]]
        values = _edge_weights(raw, pairs, weight)
    elif weight is not None and pairs:
        warn_missing_weight(weight, graph.es.attributes())
    names = graph.vs["name"] if "name" in graph.vs.attributes() else None
    return GraphArrays(_check_n_nodes(graph.vcount()), edges, values, names=names)
