"""``forceatlas2_layout``: networkx-style layout, a dict of node positions."""

from __future__ import annotations

import sys
from collections.abc import Callable, Hashable, Iterable
from typing import TYPE_CHECKING, Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.api import layout
from tallow_forceatlas2.inputs import graph_arrays, graph_kind
from tallow_forceatlas2.positions import Seed

if TYPE_CHECKING:
    if sys.version_info >= (3, 11):
        from typing import Unpack
    else:
        from typing_extensions import Unpack

__all__ = ["LayoutOptions", "forceatlas2_layout"]


class LayoutOptions(TypedDict, total=False):
    """The keyword arguments of :func:`tallow_forceatlas2.layout` besides the graph."""

    seed: Seed
    iterations: int | None
    threads: int | None
    progress: bool | Callable[[int, int], object] | None
    tol: float
    multilevel: bool | None
    node_size: object
    node_mass: object
    fixed: object
    lin_log: bool | None
    dissuade_hubs: bool
    prevent_overlap: bool | None
    edge_weight_influence: float
    scaling_ratio: float
    strong_gravity: bool | None
    gravity: float | None
    slow_down: float
    barnes_hut: bool | None
    barnes_hut_theta: float


def forceatlas2_layout(
    G: Any,
    pos: dict[Hashable, Any] | None = None,
    *,
    weight: str | None = "weight",
    **options: Unpack[LayoutOptions],
) -> dict[Hashable, NDArray[np.float64]]:
    """Position the nodes of a graph with ForceAtlas2, as a dict like networkx's layouts.

    Parameters
    ----------
    G : networkx or igraph graph, or any graph :func:`tallow_forceatlas2.layout` takes
        Any networkx graph, whose node labels may be of any hashable type;
        directed edges pull both ends like undirected ones, parallel edges
        of a multigraph each pull. An igraph graph is keyed by vertex index
        (``0 .. vcount() - 1``), not by its ``name`` attribute: names need
        not be unique nor set on every vertex, and the indices are the keys
        that ``pos``, ``node_size``, ``node_mass`` and ``fixed`` mappings
        take for igraph graphs, so a result can be passed back as ``pos``.
        A DataFrame edge table is keyed by its node labels; an edge array or
        a sparse matrix by node index.
    pos : dict, optional
        Start positions, node to ``(x, y)`` (keyed as the result is); nodes
        left out start next to their placed neighbours, or at random
        positions drawn from ``seed``.
    weight : str or None, default "weight"
        Edge attribute holding the weight (missing means 1); ``None`` lays
        the graph out unweighted.
    **options
        ``seed``, ``iterations``, ``threads``, ``progress``, ``node_size``,
        ``node_mass`` (dicts, like networkx's, or node attribute names),
        ``fixed`` and the ForceAtlas2 settings, as for
        :func:`tallow_forceatlas2.layout`.

    Returns
    -------
    dict
        Node (or vertex index, see ``G``) to a float64 array ``[x, y]``, like
        networkx's layout functions; :func:`tallow_forceatlas2.io.write_gexf`
        and the other writers take it as ``positions``.

    Raises
    ------
    TypeError, ValueError
        For any mistake in the arguments, before any work starts.

    Examples
    --------
    >>> import networkx as nx
    >>> from tallow_forceatlas2 import forceatlas2_layout
    >>> pos = forceatlas2_layout(nx.karate_club_graph(), iterations=100)
    >>> len(pos)
    34
    """
    # networkx's semantics: plain ForceAtlas2 unless a multilevel start is asked for.
    options.setdefault("multilevel", False)
    graph: object = G
    keys: Iterable[Hashable] | None = None
    kind = graph_kind(G)
    if kind == "networkx":
        keys = list(G)
    elif kind == "dataframe":
        # Node labels come out of reading the table; layout() takes the result as it is.
        arrays = graph_arrays(G, weight=weight)
        graph, keys = arrays, arrays.nodes
    positions = layout(graph, pos=pos, weight=weight, **options)
    return dict(zip(range(len(positions)) if keys is None else keys, positions))
