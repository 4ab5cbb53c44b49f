"""``forceatlas2_layout``: networkx-style layout, a dict of node positions."""

from __future__ import annotations

import sys
from collections.abc import Callable, Hashable
from typing import TYPE_CHECKING, Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.api import layout
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
    """Position the nodes of a networkx graph with ForceAtlas2.

    Parameters
    ----------
    G : networkx graph
        Any networkx graph; node labels may be of any hashable type.
        Directed edges pull both ends like undirected ones; parallel edges
        of a multigraph each pull.
    pos : dict, optional
        Start positions, node to ``(x, y)``; nodes left out start next to
        their placed neighbours, or at random positions drawn from ``seed``.
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
        Node to a float64 array ``[x, y]``, like networkx's layout functions.

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
    positions = layout(G, pos=pos, weight=weight, **options)
    return dict(zip(G, positions))
