"""The one place where a coarse level meets the native kernel."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2._native import layout_raw
from tallow_forceatlas2.multilevel.coarsen import Level

__all__ = ["layout_level"]


def _mass_loops(level: Level) -> tuple[NDArray[np.uint32], NDArray[np.float64]]:
    """Edges and weights that give every node of ``level`` its merged mass.

    The kernel's mass is 1 plus the weights of a node's edge ends, a
    self-loop counting twice and pulling nothing; a self-loop of weight
    ``(mass - 1 - incident) / 2`` therefore sets the mass to the merged one
    without changing any force but repulsion and gravity.
    """
    incident = np.bincount(level.edges[:, 0], weights=level.weights, minlength=level.n_nodes)
    incident += np.bincount(level.edges[:, 1], weights=level.weights, minlength=level.n_nodes)
    loop = (level.mass - 1.0 - incident) / 2.0
    looped = np.flatnonzero(loop != 0.0)
    edges = np.concatenate([level.edges, np.stack([looped, looped], axis=1)])
    weights = np.concatenate([level.weights, loop[looped]])
    return np.ascontiguousarray(edges, dtype=np.uint32), weights


def layout_level(
    level: Level,
    init: NDArray[np.float64],
    iterations: int,
    threads: int,
    settings: dict[str, bool | float],
    progress: Callable[[int, int], object] | None,
) -> NDArray[np.float64]:
    """Run ForceAtlas2 on one coarse level with its merged masses.

    ``settings`` must have ``edgeWeightInfluence`` 1: the level's weights
    already carry the exponent.
    """
    edges, weights = _mass_loops(level)
    return layout_raw(level.n_nodes, edges, weights, init, iterations, threads, settings, progress)
