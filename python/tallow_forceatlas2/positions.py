"""Start positions: the user's, checked, or reproducible random ones."""

from __future__ import annotations

import math
import numbers
from collections.abc import Hashable, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

__all__ = ["Seed", "initial_positions", "random_positions"]

Seed = int | np.random.Generator | np.random.RandomState | np.random.SeedSequence | None


def _spread(n_nodes: int) -> float:
    # Random starts fill a square whose area grows with the node count, close
    # to the size the layout settles at, so nodes need not first fly apart.
    return max(1.0, math.sqrt(n_nodes))


def random_positions(n_nodes: int, seed: Seed) -> NDArray[np.float64]:
    """Return ``(n_nodes, 2)`` uniform random positions around the origin.

    Parameters
    ----------
    n_nodes : int
        Number of rows.
    seed : int, numpy Generator, RandomState, SeedSequence or None
        An integer or SeedSequence gives the same positions on every call;
        None draws fresh entropy; a generator is drawn from.

    Returns
    -------
    ndarray of float64, shape (n_nodes, 2)
        Coordinates in a square of side ``2 * max(1, sqrt(n_nodes))``.
    """
    if isinstance(seed, np.random.RandomState):
        unit = seed.random_sample((n_nodes, 2))
    else:
        if isinstance(seed, (bool, np.bool_)) or not (
            seed is None
            or isinstance(seed, (numbers.Integral, np.random.Generator, np.random.SeedSequence))
        ):
            raise TypeError(
                f"seed must be an integer, a numpy Generator or None, not {type(seed).__name__}"
            )
        if isinstance(seed, numbers.Integral) and int(seed) < 0:
            raise ValueError(f"seed must be >= 0, not {seed}")
        unit = np.random.default_rng(seed).random((n_nodes, 2))
    spread = _spread(n_nodes)
    result: NDArray[np.float64] = (unit * 2.0 - 1.0) * spread
    return result


def _point(node: object, value: object) -> tuple[float, float]:
    try:
        point = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        point = np.empty(0)
    if point.shape != (2,) or not np.isfinite(point).all():
        raise ValueError(
            f"pos[{node!r}] is {value!r}: a position must be two finite numbers (x, y)"
        )
    return float(point[0]), float(point[1])


def _from_mapping(
    pos: Mapping[Hashable, object],
    start: NDArray[np.float64],
    nodes: Sequence[Hashable] | None,
) -> NDArray[np.float64]:
    n_nodes = len(start)
    if nodes is not None:
        index = {node: i for i, node in enumerate(nodes)}
    for node, value in pos.items():
        if nodes is not None:
            i = index.get(node, -1)
        elif isinstance(node, numbers.Integral) and not isinstance(node, bool):
            i = int(node) if 0 <= int(node) < n_nodes else -1
        else:
            i = -1
        if i < 0:
            raise ValueError(f"pos has a position for {node!r}, which is not a node of the graph")
        start[i] = _point(node, value)
    return start


def initial_positions(
    n_nodes: int,
    pos: object,
    seed: Seed,
    nodes: Sequence[Hashable] | None = None,
) -> NDArray[np.float64]:
    """Check or draw the start positions of a layout.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    pos : array_like of shape (n_nodes, 2), mapping, or None
        Start positions: an array in node order, or a mapping from node
        (label, or index when the graph has no labels) to ``(x, y)``; nodes
        missing from a mapping, and every node when ``pos`` is None, start at
        random positions drawn from ``seed``.
    seed : int, numpy Generator, RandomState, SeedSequence or None
        Source of the random positions.
    nodes : sequence, optional
        Node labels in index order, for mappings keyed by label.

    Returns
    -------
    ndarray of float64, shape (n_nodes, 2)
        A new C-contiguous array of finite coordinates.

    Raises
    ------
    TypeError, ValueError
        For a wrong shape, non-finite coordinates, or unknown nodes.
    """
    start = random_positions(n_nodes, seed)
    if pos is None:
        return start
    if isinstance(pos, Mapping):
        return _from_mapping(pos, start, nodes)
    try:
        array = np.array(pos, dtype=np.float64, order="C")
    except (TypeError, ValueError) as exc:
        raise TypeError(f"pos must be an (n, 2) array of numbers or a mapping: {exc}") from exc
    if array.shape != (n_nodes, 2):
        raise ValueError(f"pos must have shape ({n_nodes}, 2), one row per node, not {array.shape}")
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        row = int(np.argmin(finite))
        raise ValueError(f"pos row {row} is {array[row].tolist()}: positions must be finite")
    return array
