"""One layout as the kernel runs it: checked arrays, and the run.

``layout()`` is ``api.prepare_layout`` followed by :func:`run_prepared`; the
batch API ships a :class:`PreparedLayout` to other processes and runs it
there, so both give the same bits.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2._native import layout_nodes
from tallow_forceatlas2.limits import check_finite_positions, diverged_message
from tallow_forceatlas2.multilevel import multilevel_layout

__all__ = ["PreparedLayout", "run_prepared"]


@dataclass(frozen=True)
class PreparedLayout:
    """Everything the kernel needs for one layout, checked.

    Attributes
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of uint32, shape (m, 2)
        Source and target index of every edge.
    weights : ndarray of float64, shape (m,), or None
        Edge weights, or None for weight 1 everywhere.
    init : ndarray of float64, shape (n, 2)
        Start positions.
    iterations : int
        Most iterations to run.
    threads : int
        Worker threads to start.
    settings : dict
        The kernel's settings dictionary.
    mass, size : ndarray of float64, shape (n,), or None
        Per-node masses and sizes; NaN keeps a node's default.
    fixed : ndarray of bool, shape (n,), or None
        Pinned nodes.
    tol : float
        Stop once the layout moves less than this (0: run every iteration).
    labels : sequence or None
        Node labels in index order, for messages.
    multilevel : bool
        Whether the layout starts from a multilevel layout, which draws its
        own start from ``multilevel_seed`` and ignores ``init``.
    multilevel_seed : int, Generator, SeedSequence or None
        The seed of the multilevel start.
    picture_settings : dict or None
        With a multilevel start that lets the graph choose its picture: the
        settings of each picture it may choose (``multilevel.picture``),
        ``settings`` being the faithful one.
    """

    n_nodes: int
    edges: NDArray[np.uint32]
    weights: NDArray[np.float64] | None
    init: NDArray[np.float64]
    iterations: int
    threads: int
    settings: dict[str, bool | float]
    mass: NDArray[np.float64] | None = None
    size: NDArray[np.float64] | None = None
    fixed: NDArray[np.bool_] | None = None
    tol: float = 0.0
    labels: Sequence[Hashable] | None = None
    multilevel: bool = False
    multilevel_seed: int | np.random.Generator | np.random.SeedSequence | None = None
    picture_settings: dict[str, dict[str, bool | float]] | None = None


def run_prepared(
    prepared: PreparedLayout, progress: Callable[[int, int], object] | None = None
) -> NDArray[np.float64]:
    """Run a prepared layout and return its positions.

    The run stops as soon as a position leaves float32's range, so a
    diverging layout costs at most one more iteration.

    Raises
    ------
    ValueError
        When positions became non-finite, naming the nodes.
    """
    if prepared.multilevel:
        positions = multilevel_layout(
            prepared.n_nodes,
            prepared.edges,
            prepared.weights,
            prepared.settings,
            seed=prepared.multilevel_seed,
            threads=prepared.threads,
            iterations=prepared.iterations,
            progress=progress,
            tol=prepared.tol,
            picture_settings=prepared.picture_settings,
        )
        return check_finite_positions(positions, prepared.labels)
    try:
        positions = layout_nodes(
            prepared.n_nodes,
            prepared.edges,
            prepared.weights,
            prepared.init,
            prepared.iterations,
            prepared.threads,
            prepared.settings,
            progress,
            mass=prepared.mass,
            size=prepared.size,
            fixed=prepared.fixed,
            check_finite=True,
            tol=prepared.tol,
        )
    except FloatingPointError as exc:
        _, iteration, first, count = exc.args
        message = diverged_message(first, count, prepared.n_nodes, prepared.labels, iteration)
        raise ValueError(message) from None
    return check_finite_positions(positions, prepared.labels)
