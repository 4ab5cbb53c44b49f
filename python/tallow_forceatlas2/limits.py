"""Where the kernel's float32 arithmetic and the machine's memory end, checked up front.

The kernel stores positions, forces, masses and weights as float32 (largest
value 3.4e38) and lets infinities and NaN flow into the result; these checks
refuse the inputs that would get there, and the last one refuses a result
that got there anyway.

The bounds, from the forces of one iteration (``m`` node masses, ``w`` powered
edge weights, ``d`` distances, ``s`` scaling_ratio, ``g`` gravity)::

    repulsion   s * m_i * m_j / d      attraction  w * d
    gravity     g * m * r (strong)     step        ~ sqrt(F / m) * ln(F) / slow_down

A force beyond float32 turns into inf and then NaN at once. The step has a
second limit: it adapts to how much a node's force changes, and once
coordinates pass ~1e17 the float32 spacing of a coordinate (x / 2**23) is
larger than the step it should take ((2**23 * ln F)**2 ~ 1e17 for forces near
1), nodes stop moving, see no change, and then jump by F * ln(F); measured,
start coordinates of 1e18 end in NaN within 14 iterations. So the bounds keep
positions far below 1e17 and forces far below 3.4e38: start coordinates at
most 1e12; masses and powered weights at most 1e10, so that with the
largest scaling_ratio (1e10) the repulsion of two heaviest nodes,
1e30 / d, fits float32 down to distances of 1e-8, and attraction over the
widest start (2e12) is 2e22. Measured at these corners together (with every
setting at the end of its range, settings.py) 300 iterations stay finite in
every mode; a single weight of 1e20, all weights 1e14 or start coordinates
of 1e18 give NaN.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Sequence

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.available_memory import available_memory
from tallow_forceatlas2.echo import echo

__all__ = [
    "BYTES_PER_EDGE",
    "BYTES_PER_NODE",
    "MAX_NODE_MASS",
    "MAX_POWERED_WEIGHT",
    "MAX_START_COORDINATE",
    "check_finite_positions",
    "check_memory",
    "check_start_positions",
    "check_weights",
    "diverged_message",
    "node_name",
]

MAX_START_COORDINATE = 1e12
MAX_NODE_MASS = 1e10
MAX_POWERED_WEIGHT = 1e10
# The least a layout needs per node: the kernel's node record (10 float32),
# the float64 start positions handed to it and the float64 result.
BYTES_PER_NODE = 40 + 16 + 16
# And per edge: the kernel's edge record (two uint32 ends and a float32
# weight) and the edge's place in the incident lists of both its ends.
BYTES_PER_EDGE = 12 + 2 * 4
# How many nodes a message names before it only counts the rest.
NAMED_NODES = 5


def node_name(index: int, labels: Sequence[Hashable] | None) -> str:
    """Return how messages name a node: its label when it has one, else its index."""
    return echo(labels[index]) if labels is not None else str(index)


def _listing(bad: NDArray[np.bool_], labels: Sequence[Hashable] | None) -> str:
    rows = np.flatnonzero(bad)
    names = ", ".join(node_name(int(i), labels) for i in rows[:NAMED_NODES])
    more = f" and {len(rows) - NAMED_NODES} more" if len(rows) > NAMED_NODES else ""
    return f"{names}{more}"


def _others(bad: NDArray[np.bool_], labels: Sequence[Hashable] | None) -> str:
    count = int(bad.sum())
    return f" ({count} nodes are: {_listing(bad, labels)})" if count > 1 else ""


def check_start_positions(
    positions: NDArray[np.float64], labels: Sequence[Hashable] | None
) -> None:
    """Refuse start positions that float32 cannot hold or that would overflow the forces.

    Parameters
    ----------
    positions : ndarray of float64, shape (n, 2)
        Finite start positions.
    labels : sequence, optional
        Node labels in index order, for the message.

    Raises
    ------
    ValueError
        Naming the first node whose coordinates round to inf in float32, or
        exceed ``MAX_START_COORDINATE`` in absolute value.
    """
    largest = np.abs(positions).max(axis=1) if len(positions) else np.empty(0)
    too_large = largest > MAX_START_COORDINATE
    if not too_large.any():
        return
    row = int(np.argmax(too_large))
    where = f"node {node_name(row, labels)} starts at {positions[row].tolist()}"
    with np.errstate(over="ignore"):
        rounds_to_inf = bool(np.isinf(positions[row].astype(np.float32)).any())
    if rounds_to_inf:
        reason = "which is not finite in float32, the kernel's storage (largest 3.4e38)"
    else:
        reason = f"beyond {MAX_START_COORDINATE:g}, where the forces and steps overflow float32"
    raise ValueError(
        f"{where}, {reason}{_others(too_large, labels)}; start coordinates must be at "
        f"most {MAX_START_COORDINATE:g} in absolute value: scale the positions down"
    )


def check_weights(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    influence: float,
    labels: Sequence[Hashable] | None,
) -> None:
    """Refuse node masses and powered weights beyond what float32 forces can hold.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of uint32, shape (m, 2)
        Edge endpoints.
    weights : ndarray of float64, shape (m,), or None
        Non-negative edge weights; None for 1 everywhere.
    influence : float
        ``edge_weight_influence``, the exponent on the weights (>= 0).
    labels : sequence, optional
        Node labels in index order, for the message.

    Raises
    ------
    ValueError
        For a node mass (1 + the sum of its edge weights) above
        ``MAX_NODE_MASS`` or a powered weight (weight ** influence, of the
        float32 weight the kernel stores) above ``MAX_POWERED_WEIGHT``.
    """
    # Without weights a mass is 1 + the degree, at most 1 + 2m: below the
    # bound for any edge array that fits in memory.
    if weights is None or len(weights) == 0:
        return
    mass = 1.0 + np.bincount(edges[:, 0], weights, minlength=n_nodes)
    mass += np.bincount(edges[:, 1], weights, minlength=n_nodes)
    heavy = mass > MAX_NODE_MASS
    if heavy.any():
        row = int(np.argmax(heavy))
        raise ValueError(
            f"node {node_name(row, labels)} has mass {mass[row]:.3g}, 1 + the sum of its "
            f"edge weights{_others(heavy, labels)}; masses must be at most "
            f"{MAX_NODE_MASS:g}, beyond which the repulsion (scaling_ratio * m_i * m_j / d) overflows float32: "
            "divide all weights by a common factor"
        )
    stored = weights.astype(np.float32).astype(np.float64)
    k = int(np.argmax(stored))
    if stored[k] <= 1.0 or influence == 0.0:
        return  # every powered weight is at most 1
    exponent = influence * math.log10(stored[k])
    if exponent > math.log10(MAX_POWERED_WEIGHT):
        u, v = (node_name(int(i), labels) for i in edges[k])
        raise ValueError(
            f"edge ({u}, {v}) has weight {stored[k]:g}, and weight ** edge_weight_influence "
            f"= {stored[k]:g} ** {influence:g} is about 1e{exponent:.0f}: powered weights "
            f"must be at most {MAX_POWERED_WEIGHT:g}, beyond which the attraction "
            "(weight * distance) overflows float32: use a smaller edge_weight_influence "
            "or smaller weights"
        )


def _memory_limit() -> int | None:
    """The most memory a layout may take (see :func:`available_memory`)."""
    return available_memory()


def check_memory(n_nodes: int, n_edges: int = 0) -> None:
    """Refuse a graph whose layout buffers cannot fit in the memory available.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    n_edges : int, default 0
        Number of edges.

    Raises
    ------
    MemoryError
        When ``n_nodes * BYTES_PER_NODE + n_edges * BYTES_PER_EDGE`` (a lower
        bound of what the layout allocates) exceeds the memory available,
        before anything is allocated.
    """
    limit = _memory_limit()
    needed = n_nodes * BYTES_PER_NODE + n_edges * BYTES_PER_EDGE
    if limit is not None and needed > limit:
        raise MemoryError(
            f"a layout of {n_nodes:,} nodes and {n_edges:,} edges needs at least "
            f"{needed / 2**30:.1f} GiB ({BYTES_PER_NODE} bytes per node, {BYTES_PER_EDGE} "
            f"per edge) but only {limit / 2**30:.1f} GiB of memory is available"
        )


def check_finite_positions(
    positions: NDArray[np.float64], labels: Sequence[Hashable] | None
) -> NDArray[np.float64]:
    """Return ``positions`` if every one is finite, else say which nodes diverged.

    Parameters
    ----------
    positions : ndarray of float64, shape (n, 2)
        A layout's result.
    labels : sequence, optional
        Node labels in index order, for the message.

    Returns
    -------
    ndarray
        ``positions`` itself.

    Raises
    ------
    ValueError
        Naming the first few nodes with an inf or NaN coordinate, how many
        there are, and what to change.
    """
    finite = np.isfinite(positions).all(axis=1)
    if finite.all():
        return positions
    bad = np.flatnonzero(~finite)
    raise ValueError(diverged_message(bad, len(bad), len(positions), labels))


def diverged_message(
    first: Sequence[int] | NDArray[np.intp],
    count: int,
    n_nodes: int,
    labels: Sequence[Hashable] | None,
    iteration: int | None = None,
) -> str:
    """The message of a layout whose positions left float32's range.

    Parameters
    ----------
    first : sequence of int
        Indices of the first non-finite nodes, in index order.
    count : int
        How many nodes are non-finite.
    n_nodes : int
        Number of nodes of the graph.
    labels : sequence, optional
        Node labels in index order.
    iteration : int, optional
        The iteration after which the positions were found non-finite.
    """
    names = ", ".join(node_name(int(i), labels) for i in list(first)[:NAMED_NODES])
    more = f" and {count - NAMED_NODES} more" if count > NAMED_NODES else ""
    when = f" after iteration {iteration}" if iteration is not None else ""
    return (
        f"the layout diverged: {count} of {n_nodes} nodes reached non-finite positions{when} "
        f"({names}{more}) because the forces outgrew float32; use smaller weights, "
        "scaling_ratio or gravity, a larger slow_down, or start positions nearer the origin"
    )
