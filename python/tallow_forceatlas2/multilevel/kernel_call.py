"""The one place where a coarse level meets the native kernel."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2._native import layout_nodes
from tallow_forceatlas2.limits import MAX_NODE_MASS
from tallow_forceatlas2.multilevel.coarsen import Level

__all__ = ["layout_level"]


def layout_level(
    level: Level,
    init: NDArray[np.float64],
    iterations: int,
    threads: int,
    settings: dict[str, bool | float],
    progress: Callable[[int, int], object] | None,
    tol: float = 0.0,
) -> NDArray[np.float64]:
    """Run ForceAtlas2 on one coarse level with its merged masses.

    ``settings`` must have ``edgeWeightInfluence`` 1: the level's weights
    already carry the exponent. ``tol`` above 0 ends the level early once it
    has settled, as ``layout_nodes`` does.
    """
    edges = np.ascontiguousarray(level.edges, dtype=np.uint32)
    # A merged node weighs what its members do together, which can pass the
    # bound every node of the graph keeps and layout_nodes enforces: such
    # nodes lay out at the bound, a start for the finer levels all the same.
    mass = np.minimum(level.mass, MAX_NODE_MASS)
    return layout_nodes(
        level.n_nodes,
        edges,
        level.weights,
        init,
        iterations,
        threads,
        settings,
        progress,
        mass=mass,
        tol=tol,
    )
