"""The level loop: lay out the coarsest graph, then refine level by level."""

from __future__ import annotations

from collections.abc import Callable, Mapping

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2._native import layout_nodes, layout_raw
from tallow_forceatlas2.multilevel.coarsen import Level, finest_level, hierarchy
from tallow_forceatlas2.multilevel.kernel_call import layout_level
from tallow_forceatlas2.multilevel.picture import PICTURE_SETTINGS, choose_picture
from tallow_forceatlas2.positions import random_positions
from tallow_forceatlas2.thread_counts import runs_parallel

__all__ = [
    "COARSEST_ITERATIONS",
    "COARSEST_NODES",
    "FINEST_ITERATIONS",
    "LEVEL_ITERATIONS",
    "RECOMMENDED_SETTINGS",
    "MultilevelSeed",
    "multilevel_layout",
]

MultilevelSeed = int | np.random.Generator | np.random.SeedSequence | None

# Coarsening stops at this many nodes: small enough for exact repulsion and
# many cheap iterations, large enough to hold a few hundred communities apart.
COARSEST_NODES = 300
# The coarsest layout places the communities, and every later level keeps
# them where it put them. Measured on 10,000-node planted-partition and LFR
# graphs (community share): 300 coarsest iterations 0.90 / 0.87, 1,000 gave
# 0.99 / 0.98; then 10 iterations per level did as well as 20 or 60.
COARSEST_ITERATIONS = 1000
LEVEL_ITERATIONS = 20
FINEST_ITERATIONS = 30
# A child starts this fraction of its parent's median edge length away from
# it: enough to break the tie between siblings. Larger offsets make the
# first steps of a level fling nodes out of their communities (10,000
# nodes: 0.5 gave share 0.00, 0.1 gave 0.96 / 0.79, 0.02 gave 0.99 / 0.97).
OFFSET_SHARE = 0.005
# The settings under which ForceAtlas2 shows communities at all: with linear
# attraction even a start with every community in its own place melts into
# one disc within 100 iterations (share 0.42 at 10,000 nodes), and strong
# gravity squeezes linLog's clusters together (0.93 against 0.97). They tear
# meshes and trees into knots, so picture.PICTURE_SETTINGS uses them only
# for graphs with communities.
RECOMMENDED_SETTINGS = PICTURE_SETTINGS["clustered"]
# Levels below this size run with exact repulsion, which is cheaper there
# (as the plain layout's default); levels use threads where the plain layout
# would (runs_parallel).
BARNES_HUT_FROM_NODES = 1000


def _child_positions(
    coarse: Level, coarse_pos: NDArray[np.float64], rng: np.random.Generator
) -> NDArray[np.float64]:
    """Every finer node at its parent's position plus a small seeded offset."""
    assert coarse.parent is not None
    if len(coarse.edges):
        lengths = np.linalg.norm(
            coarse_pos[coarse.edges[:, 0]] - coarse_pos[coarse.edges[:, 1]], axis=1
        )
        spread = float(np.median(lengths))
    else:
        spread = 1.0
    offset = rng.normal(0.0, OFFSET_SHARE * max(spread, 1e-6), (len(coarse.parent), 2))
    result: NDArray[np.float64] = coarse_pos[coarse.parent] + offset
    return result


def _level_settings(
    settings: Mapping[str, bool | float], n_nodes: int, finest: bool
) -> dict[str, bool | float]:
    chosen = dict(settings)
    chosen["barnesHutOptimize"] = bool(settings["barnesHutOptimize"]) and (
        n_nodes >= BARNES_HUT_FROM_NODES
    )
    if not finest:
        # Coarse weights already carry the exponent (finest_level applied it).
        chosen["edgeWeightInfluence"] = 1.0
    return chosen


def _schedule(levels: list[Level], iterations: int) -> list[int]:
    """Iterations per level, finest first."""
    if len(levels) == 1:
        return [iterations]
    middle = [LEVEL_ITERATIONS] * (len(levels) - 2)
    return [iterations, *middle, COARSEST_ITERATIONS]


def multilevel_layout(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    settings: Mapping[str, bool | float],
    *,
    seed: MultilevelSeed = 0,
    threads: int = 1,
    iterations: int = FINEST_ITERATIONS,
    progress: Callable[[int, int], object] | None = None,
    tol: float = 0.0,
    level_tol: float = 0.0,
    picture_settings: Mapping[str, Mapping[str, bool | float]] | None = None,
) -> NDArray[np.float64]:
    """Lay out a graph with ForceAtlas2 from a multilevel start.

    The graph is coarsened by merging matched neighbours down to about
    ``COARSEST_NODES`` nodes; the coarsest graph is laid out from random
    positions, and each finer level starts from its parents' positions and
    is refined with a few iterations. The finest level is the input graph
    itself with ``settings`` unchanged, so the result is a ForceAtlas2
    layout of the input. Communities only show with logarithmic
    attraction, which tears meshes and trees apart: pass both
    settings to let the graph decide.

    Parameters
    ----------
    n_nodes : int
        Number of nodes.
    edges : ndarray of uint32, shape (m, 2)
        C-contiguous edge list, every index below ``n_nodes``
        (``inputs.graph_arrays`` checks and converts).
    weights : ndarray of float64, shape (m,), or None
        Finite, non-negative edge weights, or None for 1.
    settings : mapping
        The kernel's settings dictionary (``settings.kernel_settings``).
    seed : int, numpy Generator, SeedSequence or None, default 0
        Source of every random choice (matching ties, coarsest start,
        offsets); the same integer gives the same bits.
    threads : int, default 1
        Worker threads for the levels where they pay (``runs_parallel``);
        the result does not depend on it.
    iterations : int, default ``FINEST_ITERATIONS``
        Iterations on the input graph; coarser levels run
        ``LEVEL_ITERATIONS`` each and the coarsest ``COARSEST_ITERATIONS``.
    progress : callable, optional
        ``progress(done, total)`` after every iteration of every level.
    tol : float, default 0.0
        Above 0, the run on the input graph ends once it has settled, as
        ``layout_nodes(tol=...)`` ends; ``iterations`` stays the upper bound.
    level_tol : float, default 0.0
        The same for every coarser level and its budget.
    picture_settings : mapping, optional
        Settings for each picture ``picture.choose_picture`` may choose
        ("faithful", "pieces" and, unless left out, "clustered"). When given,
        the hierarchy decides which of them lays the graph out, and
        ``settings`` is unused.

    Returns
    -------
    ndarray of float64, shape (n_nodes, 2)
        Positions in node order.
    """
    rng = np.random.default_rng(seed)
    finest = finest_level(n_nodes, edges, weights, float(settings["edgeWeightInfluence"]))
    levels = hierarchy(finest, rng, COARSEST_NODES)
    if picture_settings is not None:
        settings = picture_settings[choose_picture(levels, "clustered" in picture_settings)]
    counts = _schedule(levels, iterations)
    total = sum(counts)
    done = 0
    pos = random_positions(levels[-1].n_nodes, rng)
    for depth in range(len(levels) - 1, -1, -1):
        level = levels[depth]
        if depth < len(levels) - 1:
            pos = _child_positions(levels[depth + 1], pos, rng)
        chosen = _level_settings(settings, level.n_nodes, depth == 0)
        parallel = runs_parallel(bool(chosen["barnesHutOptimize"]), level.n_nodes)
        level_threads = threads if parallel else 1
        callback = None
        if progress is not None:
            callback = _offset_progress(progress, done, total)
        if depth == 0 and tol > 0.0:
            pos = layout_nodes(
                n_nodes, edges, weights, pos, counts[0], level_threads, chosen, callback, tol=tol
            )
        elif depth == 0:
            pos = layout_raw(
                n_nodes, edges, weights, pos, counts[0], level_threads, chosen, callback
            )
        else:
            pos = layout_level(
                level, pos, counts[depth], level_threads, chosen, callback, level_tol
            )
        done += counts[depth]
    return pos


def _offset_progress(
    progress: Callable[[int, int], object], before: int, total: int
) -> Callable[[int, int], object]:
    def report(done: int, _level_total: int) -> object:
        return progress(before + done, total)

    return report
