"""Type stubs for the compiled layout kernel module."""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

__all__ = ["hierarchy", "layout_nodes", "layout_raw", "merge_groups"]

def layout_raw(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    init: NDArray[np.float64],
    iterations: int,
    threads: int,
    settings: dict[str, bool | float],
    progress: Callable[[int, int], object] | None,
) -> NDArray[np.float64]:
    """Runs a ForceAtlas2 layout and returns the final `(n, 2)` f64 positions.

    `edges` is an ``(m, 2)`` uint32 array of node indices below `n_nodes`,
    `weights` an optional ``(m,)`` float64 array, `init` the ``(n, 2)`` float64
    start positions. `settings` holds the camelCase keys linLogMode,
    outboundAttractionDistribution, adjustSizes, edgeWeightInfluence,
    scalingRatio, strongGravityMode, gravity, slowDown, barnesHutOptimize and
    barnesHutTheta. `progress(done, total)` is called after every iteration
    with the interpreter lock held; an exception it raises ends the run and is
    raised unchanged. Arguments are not validated beyond their types: use
    :func:`tallow_forceatlas2.layout` for checked input.
    """

def layout_nodes(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    init: NDArray[np.float64],
    iterations: int,
    threads: int,
    settings: dict[str, bool | float],
    progress: Callable[[int, int], object] | None,
    *,
    mass: NDArray[np.float64] | None = None,
    size: NDArray[np.float64] | None = None,
    fixed: NDArray[np.bool_] | None = None,
    check_finite: bool = False,
    tol: float = 0.0,
) -> NDArray[np.float64]:
    """Runs a ForceAtlas2 layout with per-node masses, sizes and pins.

    The eight positional arguments are those of :func:`layout_raw`; with no
    keyword-only argument the result is layout_raw's to the last bit. Unlike
    layout_raw, they are checked before any work: an edge end that is not a
    node below `n_nodes`, weights that are not one per edge, rows of fewer
    than 2 columns and a start position that is not finite in float32 are
    each a ValueError naming the argument.

    `mass` (float64, one per node, from 1.2e-38 to 1e10) replaces the mass of 1 plus the sum
    of the node's edge weights, in repulsion, gravity and the
    outbound-attraction distribution. `size` (float64, one per node, >= 0)
    replaces the size 1 that ``adjustSizes`` uses. A NaN mass or size keeps
    that node's default.

    With ``adjustSizes``, sizes act in both modes of repulsion. The exact mode
    reduces the distance of every pair by both sizes, and overlapping nodes
    push each other 100 times harder. With ``barnesHutOptimize`` and `size`
    given, two nodes that meet in a leaf of the Barnes-Hut tree follow the
    exact mode's rule, and a region of the tree acts as one body only if,
    besides passing the theta test, none of its nodes' discs (position +-
    size) can reach the moving node's disc; such a body repels with the plain
    far-field force. So no overlap hides behind a far-field body; the walks
    open more regions, which cost 9 to 70 % more per iteration at 100,000
    nodes with sizes from 1 to 5. Without `size`, the Barnes-Hut repulsion
    ignores sizes, as layout_raw's does, and the result is layout_raw's to
    the last bit. `fixed` (bool, one per
    node) pins nodes: a pinned node keeps its start position rounded to
    float32, but still repels, attracts and counts in the Barnes-Hut tree;
    its force slots and convergence evolve as for any other node. A wrong
    type is a TypeError, a wrong length or value a ValueError naming the node.

    With `check_finite`, the run stops after the first iteration that leaves
    a position that is not finite, raising ``FloatingPointError(message,
    iteration, first_nodes, count)``. With `tol` above 0 the run ends early,
    without error, once the mean distance the unpinned nodes moved in a step,
    divided by the larger side of the layout's bounding box, has stayed below
    `tol` for 5 steps in a row; `progress` then sees fewer iterations.
    `check_finite` takes a bool or a NumPy bool. One worker pool serves the
    whole run, also with `progress`; it starts at most 4 workers per core
    this process may use, whatever `threads` asks for, and worker threads
    that the system refuses to start are done without: neither changes a bit.
    """

def hierarchy(
    n_nodes: int,
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    mass: NDArray[np.float64],
    coarsest_nodes: int,
    seed: int,
) -> list[tuple[int, bytearray, bytearray, bytearray, bytearray]]:
    """Coarsen a graph level by level: ``(count, parent, edges, weights, mass)`` per level.

    `edges` is a ``(k, 2)`` int64 array of node indices below `n_nodes`,
    `weights` ``(k,)`` finite float64 weights >= 0, `mass` one finite float64
    mass > 0 per node. Nodes merge inside Louvain communities while they can, then across
    them, until at most `coarsest_nodes` remain or merging stalls. `parent`
    (int64 bytes) maps the level before onto this one; `edges` (int64 bytes
    of ``(k, 2)`` pairs, smaller index first, sorted), `weights` and `mass`
    (float64 bytes) are summed. The same `seed` gives the same levels.
    """

def merge_groups(
    n_nodes: int,
    edges: NDArray[np.int64],
    weights: NDArray[np.float64],
    group: NDArray[np.int64],
) -> tuple[int, bytearray, bytearray, bytearray]:
    """Merge the nodes of equal `group`: ``(count, parent, edges, weights)``.

    `parent` (int64 bytes) numbers the merged nodes in increasing group
    order; `edges` (int64 bytes of ``(k, 2)`` pairs, smaller index first,
    sorted, each once) and `weights` (float64 bytes, summed) are the edges
    between groups; edges inside a group are dropped.
    """
