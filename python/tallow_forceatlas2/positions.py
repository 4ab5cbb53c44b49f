"""Start positions: the user's, checked, or reproducible random ones."""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Hashable, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.echo import echo

__all__ = [
    "Seed",
    "given_positions",
    "initial_positions",
    "place_near_neighbours",
    "random_positions",
    "spread_coincident",
]

Seed = int | np.random.Generator | np.random.RandomState | np.random.SeedSequence | None

# Coincident start positions. Nodes at one point repel each other with no
# force and Barnes-Hut must split the quadtree down to float32's last bit for
# them (40,000 coincident nodes: ~58 s per iteration), so repeats are moved
# by a jitter of this fraction of the layout's extent: sub-pixel in any
# picture, yet wide enough for the quadtree to stay shallow.
JITTER_FRACTION = 1e-4
# ...and of at least this many float32 spacings of the largest coordinate, so
# that the jitter survives the kernel's rounding to float32.
JITTER_MIN_SPACINGS = 1024.0
# Repeats left after a round (a jittered node that lands on another node after
# rounding) are jittered again with twice the width, at most this many times.
JITTER_ROUNDS = 8
# Keeps the jitter's random stream apart from that of the random starts.
_JITTER_STREAM = 0x6A6974


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


def _uniform_source(seed: Seed) -> Callable[[tuple[int, int]], NDArray[np.float64]]:
    """Return the seed's jitter generator: uniform [0, 1) draws of a given shape."""
    if isinstance(seed, np.random.RandomState):
        return seed.random_sample
    if isinstance(seed, np.random.Generator):
        return seed.random
    if isinstance(seed, np.random.SeedSequence):
        key = (*seed.spawn_key, _JITTER_STREAM)
        sequence = np.random.SeedSequence(seed.entropy, spawn_key=key, pool_size=seed.pool_size)
    else:
        sequence = np.random.SeedSequence(seed, spawn_key=(_JITTER_STREAM,))
    return np.random.default_rng(sequence).random


def _point_keys(points: NDArray[np.float32]) -> NDArray[np.uint64]:
    # One integer per float32 point; adding +0.0 turns -0.0 into 0.0.
    bits = (points + np.float32(0.0)).view(np.uint32).astype(np.uint64)
    keys: NDArray[np.uint64] = (bits[:, 0] << np.uint64(32)) | bits[:, 1]
    return keys


def _repeats(keys: NDArray[np.uint64], rank: NDArray[np.int8]) -> NDArray[np.bool_]:
    """Mark every node whose key an earlier node has; lower ranks go first."""
    values = np.sort(keys)  # a sort of the values alone is cheap: most calls stop here
    if not (values[1:] == values[:-1]).any():
        return np.zeros(len(keys), dtype=bool)
    order = np.lexsort((np.arange(len(keys)), rank, keys))
    ordered = keys[order]
    repeat = np.zeros(len(keys), dtype=bool)
    repeat[order[1:][ordered[1:] == ordered[:-1]]] = True
    return repeat


# Which node of a coincident group keeps its place: pinned nodes first, then
# nodes never jittered, then those already jittered.
_PINNED, _UNMOVED, _JITTERED = 0, 1, 2


def spread_coincident(
    positions: NDArray[np.float64], seed: Seed, pinned: NDArray[np.bool_] | None = None
) -> NDArray[np.float64]:
    """Move apart nodes that start where an earlier node starts, by a tiny seeded jitter.

    Parameters
    ----------
    positions : ndarray of float64, shape (n, 2)
        Finite start positions, at most 1e12 in absolute value.
    seed : int, numpy Generator, RandomState, SeedSequence or None
        Source of the jitter: the same seed gives the same jitter.
    pinned : ndarray of bool, shape (n,), optional
        Nodes that never move: in a coincident group they keep the point.

    Returns
    -------
    ndarray of float64, shape (n, 2)
        ``positions`` itself when no two nodes share a float32 point; else a
        copy in which every node that shares its float32-rounded start with
        an earlier node is moved to that point plus a uniform offset in
        ``[-r, r]`` per axis, r being ``JITTER_FRACTION`` (1e-4) of the
        largest side of the positions' bounding box (of ``max(1, sqrt(n))``,
        the size of random starts, when all nodes share one point), and at
        least ``JITTER_MIN_SPACINGS`` float32 spacings of the largest
        coordinate. Other nodes keep their positions bit for bit.
    """
    n_nodes = len(positions)
    rounded = positions.astype(np.float32)
    fixed = np.zeros(n_nodes, dtype=bool) if pinned is None else pinned
    rank = np.where(fixed, _PINNED, _UNMOVED).astype(np.int8)
    repeat = _repeats(_point_keys(rounded), rank) & ~fixed
    if not repeat.any():
        return positions
    extent = float((rounded.max(axis=0).astype(np.float64) - rounded.min(axis=0)).max())
    largest = np.float32(np.abs(rounded).max())
    radius = max(
        JITTER_FRACTION * (extent if extent > 0.0 else _spread(n_nodes)),
        JITTER_MIN_SPACINGS * float(np.spacing(largest)),
    )
    uniform = _uniform_source(seed)
    result = positions.copy()
    for _ in range(JITTER_ROUNDS):
        moved = np.flatnonzero(repeat)
        offsets = (uniform((len(moved), 2)) * 2.0 - 1.0) * radius
        result[moved] = rounded[moved].astype(np.float64) + offsets
        rank[moved] = _JITTERED
        repeat = _repeats(_point_keys(result.astype(np.float32)), rank) & ~fixed
        if not repeat.any():
            break
        radius *= 2.0
    return result


def _point(node: object, value: object) -> tuple[float, float]:
    try:
        point = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        point = np.empty(0)
    if point.shape != (2,) or not np.isfinite(point).all():
        raise ValueError(
            f"pos[{echo(node)}] is {echo(value)}: a position must be two finite numbers (x, y)"
        )
    return float(point[0]), float(point[1])


def _from_mapping(
    pos: Mapping[Hashable, object],
    start: NDArray[np.float64],
    nodes: Sequence[Hashable] | None,
    given: NDArray[np.bool_],
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
            raise ValueError(
                f"pos has a position for {echo(node)}, which is not a node of the graph"
            )
        start[i] = _point(node, value)
        given[i] = True
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
    return given_positions(n_nodes, pos, seed, nodes)[0]


def given_positions(
    n_nodes: int,
    pos: object,
    seed: Seed,
    nodes: Sequence[Hashable] | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.bool_]]:
    """:func:`initial_positions`, and which nodes had a position in ``pos``."""
    start = random_positions(n_nodes, seed)
    given = np.zeros(n_nodes, dtype=bool)
    if pos is None:
        return start, given
    if isinstance(pos, Mapping):
        return _from_mapping(pos, start, nodes, given), given
    try:
        array = np.array(pos, dtype=np.float64, order="C")
    except OverflowError as exc:  # Python integers beyond float64
        raise ValueError(f"pos must hold finite coordinates: {exc}") from exc
    except (TypeError, ValueError) as exc:
        raise TypeError(f"pos must be an (n, 2) array of numbers or a mapping: {exc}") from exc
    if array.shape != (n_nodes, 2):
        raise ValueError(f"pos must have shape ({n_nodes}, 2), one row per node, not {array.shape}")
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        row = int(np.argmin(finite))
        raise ValueError(f"pos row {row} is {array[row].tolist()}: positions must be finite")
    return array, np.ones(n_nodes, dtype=bool)


# New nodes are placed in rounds, each taking the nodes next to those placed
# so far; a chain of new nodes longer than this keeps its random starts.
NEIGHBOUR_ROUNDS = 64
# The offset of a new node from its neighbours' mean, as a share of the mean
# length of the edges between given nodes: small enough to land it beside
# them, large enough that siblings do not coincide.
NEIGHBOUR_OFFSET = 0.1


def place_near_neighbours(
    start: NDArray[np.float64],
    given: NDArray[np.bool_],
    edges: NDArray[np.uint32],
    seed: Seed,
) -> NDArray[np.float64]:
    """Start every node without a given position next to its placed neighbours.

    A node whose neighbours include placed ones starts at their mean position
    plus a small offset drawn from ``seed``; placing runs in rounds, so new
    nodes attached only to new nodes follow. Nodes with no path to a given
    node keep their random start. Does nothing unless some, but not all,
    nodes were given.

    Returns
    -------
    ndarray of float64, shape (n, 2)
        ``start`` itself, or a copy with the new nodes moved.
    """
    n_nodes = len(start)
    if given.all() or not given.any() or len(edges) == 0:
        return start
    ends = edges.astype(np.intp)
    source = np.concatenate([ends[:, 0], ends[:, 1]])
    target = np.concatenate([ends[:, 1], ends[:, 0]])
    between_given = given[ends[:, 0]] & given[ends[:, 1]]
    lengths = np.linalg.norm(start[ends[between_given, 0]] - start[ends[between_given, 1]], axis=1)
    scale = float(lengths[lengths > 0].mean()) if (lengths > 0).any() else _spread(n_nodes) / 10
    uniform = _uniform_source(seed)
    result = start.copy()
    placed = given.copy()
    for _ in range(NEIGHBOUR_ROUNDS):
        reach = placed[source] & ~placed[target]
        if not reach.any():
            break
        counts = np.bincount(target[reach], minlength=n_nodes)
        new = np.flatnonzero(counts)
        for axis in (0, 1):
            sums = np.bincount(
                target[reach], weights=result[source[reach], axis], minlength=n_nodes
            )
            result[new, axis] = sums[new] / counts[new]
        result[new] += (uniform((len(new), 2)) * 2.0 - 1.0) * (NEIGHBOUR_OFFSET * scale)
        placed[new] = True
    return result
