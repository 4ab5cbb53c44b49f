"""``layout``: ForceAtlas2 positions for any supported graph, checked input first."""

from __future__ import annotations

import numbers
import os
from collections.abc import Mapping

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.inputs import graph_arrays
from tallow_forceatlas2.limits import check_memory, check_start_positions, check_weights
from tallow_forceatlas2.multilevel.picture import PICTURE_SETTINGS, PIECES_SETTINGS
from tallow_forceatlas2.multilevel.run import FINEST_ITERATIONS
from tallow_forceatlas2.node_values import node_masses, node_sizes, pinned_nodes, unplaced_pins
from tallow_forceatlas2.positions import (
    Seed,
    given_positions,
    place_near_neighbours,
    spread_coincident,
)
from tallow_forceatlas2.prepare import PreparedLayout, run_prepared
from tallow_forceatlas2.progress import Progress, check_progress, progress_callback
from tallow_forceatlas2.settings import SETTINGS, check_unknown_names, kernel_settings
from tallow_forceatlas2.thread_counts import runs_parallel

__all__ = ["available_threads", "default_iterations", "layout", "prepare_layout"]

# Iterations when the caller gives none. Community structure stops improving
# after 100 to 300 iterations on graphs of 100,000 nodes and more, while each
# iteration costs ~0.06 s at 100,000 nodes and ~1.3 s at 1,000,000 (two
# threads); smaller graphs get 1,000 iterations, which settle them fully in
# under a minute.
DEFAULT_ITERATIONS = 1000
LARGE_GRAPH_ITERATIONS = 300
LARGE_GRAPH_NODES = 100_000
MAX_ITERATIONS = 2**32 - 1
MAX_THREADS = 65535
# Workers actually started, per processor this process may use: the result is
# the same for any count, more workers than this only add start-up cost and
# contention, and tens of thousands of threads can exhaust the system.
WORKERS_PER_PROCESSOR = 4
# From this many nodes a layout starts from a multilevel start (measured on
# planted-partition graphs of 10,000 and 100,000 nodes: the share of nodes
# whose nearest neighbours in the picture are of their own community went
# from 0.42 and 0.05 with 1,000 and 300 plain iterations to 0.99 and 0.99
# (LFR 0.97 and 0.94), in a fifth of the time; at 1,000,000 nodes from 0.001
# to 0.98). Since the picture adapts to the graph (multilevel.picture) it pays
# from 1,000 nodes too: a 45 x 45 grid kept 0.79 of its neighbourhoods at
# stress 0.02 against 0.54 and 0.12 after 1,000 plain iterations, in a tenth
# of the time; smaller graphs settle fully in the plain layout's budget.
MULTILEVEL_FROM_NODES = 1_000
# picture=: "auto" lets a multilevel layout decide from the graph whether to
# pull its groups apart (multilevel.picture); the other two decide for it.
PICTURES = ("auto", *PICTURE_SETTINGS)

_LAYOUT_ARGUMENTS = (
    "n_nodes",
    "weights",
    "weight",
    "source",
    "target",
    "pos",
    "seed",
    "iterations",
    "threads",
    "progress",
    "tol",
    "multilevel",
    "picture",
    "node_size",
    "node_mass",
    "fixed",
    *(setting.name for setting in SETTINGS),
)


def available_threads() -> int:
    """Return the number of processors this process may run on.

    Returns
    -------
    int
        ``len(os.sched_getaffinity(0))`` where the platform has it (it honours
        CPU affinity and container limits), else ``os.cpu_count()``, at least 1.
    """
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


def default_iterations(n_nodes: int) -> int:
    """Return the number of iterations used when none is given.

    Parameters
    ----------
    n_nodes : int
        Number of nodes of the graph.

    Returns
    -------
    int
        1,000 below 100,000 nodes, 300 from 100,000 nodes on.
    """
    return LARGE_GRAPH_ITERATIONS if n_nodes >= LARGE_GRAPH_NODES else DEFAULT_ITERATIONS


def _check_count(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    count = int(value)
    if not low <= count <= high:
        raise ValueError(f"{name} must be between {low} and {high}, not {count}")
    return count


def _use_multilevel(
    multilevel: object,
    n_nodes: int,
    per_node: dict[str, object],
    seed: Seed,
    iterations: int | None,
) -> bool:
    """Whether this layout takes the multilevel start, its default and its conflicts."""
    if multilevel is not None and not isinstance(multilevel, (bool, np.bool_)):
        raise TypeError(f"multilevel must be True, False or None, not {type(multilevel).__name__}")
    given = [name for name, value in per_node.items() if value is not None]
    if multilevel is None:
        # iterations=0 asks for the start positions, not a coarse layout; a
        # legacy RandomState cannot seed the hierarchy, so it keeps the plain
        # layout it has always seeded.
        legacy_seed = isinstance(seed, np.random.RandomState)
        return (
            n_nodes >= MULTILEVEL_FROM_NODES and not given and iterations != 0 and not legacy_seed
        )
    if multilevel and given:
        raise ValueError(
            f"multilevel=True starts from its own coarse layout and cannot take "
            f"{given[0]}=; pass multilevel=False to use {given[0]}"
        )
    if multilevel and isinstance(seed, np.random.RandomState):
        raise TypeError("multilevel=True needs a seed that is an integer, a Generator or None")
    return bool(multilevel)


def _multilevel_seed(seed: Seed) -> int | np.random.Generator | np.random.SeedSequence | None:
    assert not isinstance(seed, np.random.RandomState)
    return seed


def _check_picture(picture: object) -> str:
    if not isinstance(picture, str):
        raise TypeError(f"picture must be a string, not {type(picture).__name__}")
    if picture not in PICTURES:
        raise ValueError(
            f"picture must be one of {', '.join(map(repr, PICTURES))}, not {picture!r}"
        )
    return picture


def _styled(
    implied: Mapping[str, bool], given: Mapping[str, object], chosen: dict[str, object]
) -> dict[str, object]:
    """``chosen`` with a picture's settings where the caller gave none."""
    styled = dict(chosen)
    for name, value in implied.items():
        if given.get(name) is None:
            styled[name] = value
    return styled


def _picture_settings(
    picture: str, multilevel: bool, given: Mapping[str, object], chosen: dict[str, object]
) -> tuple[dict[str, object], dict[str, dict[str, object]] | None]:
    """The settings of the picture asked for, and of every picture when the graph decides."""
    base = dict(chosen)
    if multilevel and given.get("strong_gravity") is None:
        base["strong_gravity"] = False
    if picture == "clustered" or not multilevel:
        return _styled(PICTURE_SETTINGS.get(picture, {}), given, base), None
    if given.get("lin_log") is not None and picture == "auto":
        return base, None
    # A faithful multilevel picture still lets the graph choose its gravity.
    pictures = PICTURE_SETTINGS if picture == "auto" else {"faithful": PICTURE_SETTINGS["faithful"]}
    choices = {name: _styled(implied, given, base) for name, implied in pictures.items()}
    choices["pieces"] = _styled(PIECES_SETTINGS, given, base)
    return choices["faithful"], choices


def _check_tolerance(tol: object) -> float:
    if isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a number, not {type(tol).__name__}")
    try:
        value = float(tol)
    except OverflowError:  # an integer beyond float64, such as 10**400
        raise ValueError(
            "tol must be at least 0 and below 1, not a number beyond float64"
        ) from None
    if not 0.0 <= value < 1.0:
        raise ValueError(f"tol must be at least 0 and below 1, not {tol!r}")
    return value


def layout(
    graph: object,
    *,
    n_nodes: int | None = None,
    weights: object = None,
    weight: str | None = "weight",
    source: str | None = None,
    target: str | None = None,
    pos: object = None,
    seed: Seed = 0,
    iterations: int | None = None,
    threads: int | None = None,
    progress: Progress = False,
    tol: float = 0.0,
    multilevel: bool | None = None,
    picture: str = "auto",
    node_size: object = None,
    node_mass: object = None,
    fixed: object = None,
    lin_log: bool | None = None,
    dissuade_hubs: bool = False,
    prevent_overlap: bool | None = None,
    edge_weight_influence: float = 1.0,
    scaling_ratio: float = 2.0,
    strong_gravity: bool | None = None,
    gravity: float | None = None,
    slow_down: float = 1.0,
    barnes_hut: bool | None = None,
    barnes_hut_theta: float = 1.2,
    **unknown: object,
) -> NDArray[np.float64]:
    """Lay out a graph with ForceAtlas2 and return its node positions.

    Parameters
    ----------
    graph : array_like, scipy sparse matrix or array, networkx or igraph graph
        An ``(m, 2)`` array of integer node indices (any integer dtype); a
        square SciPy sparse adjacency matrix, whose values are the weights (a
        symmetric matrix gives one undirected edge per pair); or a networkx
        or igraph graph (nodes in the graph's order).
    n_nodes : int, optional
        Number of nodes of an edge array; default: the largest index + 1.
    weights : array_like of shape (m,), optional
        Edge weights of an edge array (finite, >= 0). Every node's mass,
        1 + the sum of its edge weights, must be at most 1e10, and so must
        every weight ** edge_weight_influence: beyond, the float32 forces
        overflow.
    weight : str or None, default "weight"
        Edge attribute holding the weight in a networkx or igraph graph
        (missing means 1), or the weight column of an edge table (used when
        present); ``None`` ignores weights, also sparse values.
    source, target : str, optional
        For a DataFrame edge table (pandas, or any DataFrame with the
        interchange protocol, such as polars): the columns holding each
        edge's nodes, default "source" and "target". Nodes are numbered in
        order of first appearance, row by row, source before target.
    pos : array_like of shape (n, 2), or mapping, optional
        Start positions; a mapping (node to ``(x, y)``) may leave nodes out,
        and those start next to their placed neighbours (see ``fixed``), or
        at random when they have none.
        Default: random positions drawn from ``seed``. Coordinates must be at
        most 1e12 in absolute value (finite in float32, which the kernel
        stores, with room for the forces). A node that starts at the same
        point as an earlier node (compared after rounding to float32) is
        moved by a tiny jitter, uniform in ``[-r, r]`` per axis with r = 1e-4
        of the largest side of the start positions' bounding box (of
        ``max(1, sqrt(n))`` when all nodes share one point) and at least
        1,024 float32 spacings of the largest coordinate: coincident nodes
        would never repel each other and make Barnes-Hut slow. Nodes at
        distinct points keep their positions bit for bit.
    seed : int, numpy Generator, RandomState or None, default 0
        Source of random start positions and of the jitter of coincident
        starts, which depends on nothing else; the same integer gives the
        same layout on every call, None a different one.
    iterations : int, optional
        Number of ForceAtlas2 iterations; default: 1,000, or 300 for graphs
        of 100,000 nodes or more; with ``multilevel``, 30 on the graph itself
        after the coarser levels (0 returns the start positions, without
        jitter, rounded through float32 as the kernel stores them).
    threads : int, optional
        Worker threads (1 to 65535). Default: the processors this process
        may use with Barnes-Hut on 2,500 nodes or more or exact repulsion on
        768 or more, else 1. At most four per available processor are started.
        The result is the same bit for bit for every thread count.
    progress : bool or callable, default False
        ``True`` shows a tqdm progress bar on runs longer than half a second;
        a callable is called as ``progress(done, total)`` after every
        iteration, and an exception it raises stops the run and propagates.
    tol : float, default 0.0
        Stop before ``iterations`` once the layout has settled: when the mean
        distance the nodes moved in a step, divided by the larger side of the
        layout, stays below ``tol`` for 5 steps in a row (try 1e-3). 0 runs
        every iteration. Where a run stops does not depend on ``threads``.
    multilevel : bool, optional
        Start from a multilevel layout: coarsen the graph by merging
        neighbours, lay out the coarsest graph, refine level by level;
        ``iterations`` then counts the iterations on the graph itself.
        Default: on from 1,000 nodes unless ``pos``, ``fixed``,
        ``node_size`` or ``node_mass`` is given or ``iterations`` is 0; it
        cannot take those per-node arguments.
    picture : {"auto", "faithful", "clustered"}, default "auto"
        How strongly to pull groups of nodes apart. "clustered" draws every
        group as a tight knot (logarithmic attraction, classic gravity):
        right for graphs with communities. "faithful" keeps distances in
        proportion to the graph's (linear attraction): right for meshes,
        trees, kNN graphs and graphs without structure. "auto" lets a
        multilevel layout decide from the graph: clustered when the groups
        its coarsening found keep most edges inside and are well mixed
        inside, else faithful, with strong gravity when no connected piece
        holds half of the nodes (``multilevel.picture``); a plain layout is
        faithful. ``lin_log`` and ``strong_gravity`` given explicitly win.
    node_size : array_like, mapping, or str, optional
        Each node's size (radius, 0 to 1e10), used to prevent overlap: an
        array in node order, a mapping from node to size (nodes left out keep
        size 1), or the name of a node attribute of a networkx or igraph
        graph (nodes without it keep size 1).
    node_mass : array_like, mapping, or str, optional
        Each node's mass (above 0, at most 1e10), given like ``node_size``;
        nodes left out keep ForceAtlas2's mass, 1 + the sum of their edge
        weights. A heavier node repels more, feels more gravity and, with
        ``dissuade_hubs``, pulls less along its edges.
    fixed : collection of nodes, bool array, mapping, or str, optional
        Nodes pinned at their start position (they must have one in ``pos``):
        they never move, but still repel and attract the others. A set of
        nodes, a boolean array in node order, a mapping from node to a truth
        value, or a node attribute name. With ``pos`` a mapping that leaves
        nodes out, this lays out new nodes around an existing picture: each
        new node starts at the mean position of its placed neighbours (plus
        a small offset drawn from ``seed``), not at a random point.
    lin_log : bool, optional
        Logarithmic attraction: tighter, better separated clusters. Default:
        set by ``picture`` (off for a plain layout).
    dissuade_hubs : bool, default False
        Divide each edge's pull by its source's mass, pushing hubs outwards.
    prevent_overlap : bool, optional
        Keep nodes from overlapping, taking their sizes (``node_size``, else
        1) into account, in exact and Barnes-Hut mode alike. Default: on
        when ``node_size`` is given, else off.
    edge_weight_influence : float, default 1.0
        Exponent applied to the edge weights (>= 0); 0 ignores them.
    scaling_ratio : float, default 2.0
        Repulsion strength, from 1e-10 to 1e10; larger spreads the graph out.
    strong_gravity : bool, optional
        Gravity that grows with the distance from the centre, which keeps
        small disconnected pieces next to the rest of the graph at any size.
        ``False`` gives ForceAtlas2's classic gravity. Default: off with
        ``multilevel`` or ``picture="clustered"``, else on.
    gravity : float, optional
        Pull towards the centre, between 0 and 1e6. Default: 0.05 with strong
        gravity, 1.0 without.
    slow_down : float, default 1.0
        Divides every step (>= 1e-3): larger is slower and steadier.
    barnes_hut : bool, optional
        Approximate repulsion with a quadtree, O(n log n) instead of O(n^2).
        Default: on for graphs of 1,000 nodes or more.
    barnes_hut_theta : float, default 1.2
        Barnes-Hut opening threshold (>= 0): smaller is more accurate, slower.

    Returns
    -------
    ndarray of float64, shape (n, 2)
        The final x and y of every node, in node order.

    Raises
    ------
    TypeError, ValueError
        For any mistake in the arguments, before any work starts; the ranges
        above keep every float32 force and position finite. A layout that
        diverged all the same raises ``ValueError`` naming its non-finite
        nodes, never returns them.
    MemoryError
        For more nodes than this machine's memory can hold (72 bytes each at
        least), before any work starts.
    KeyboardInterrupt
        On Ctrl-C, within about one iteration.

    Examples
    --------
    >>> import numpy as np
    >>> from tallow_forceatlas2 import layout
    >>> positions = layout(np.array([[0, 1], [1, 2], [2, 0]]), iterations=50)
    >>> positions.shape
    (3, 2)
    """
    check_unknown_names("layout", unknown, _LAYOUT_ARGUMENTS)
    prepared = prepare_layout(
        graph,
        n_nodes=n_nodes,
        weights=weights,
        weight=weight,
        source=source,
        target=target,
        pos=pos,
        seed=seed,
        iterations=iterations,
        threads=threads,
        tol=tol,
        multilevel=multilevel,
        picture=picture,
        node_size=node_size,
        node_mass=node_mass,
        fixed=fixed,
        lin_log=lin_log,
        dissuade_hubs=dissuade_hubs,
        prevent_overlap=prevent_overlap,
        edge_weight_influence=edge_weight_influence,
        scaling_ratio=scaling_ratio,
        strong_gravity=strong_gravity,
        gravity=gravity,
        slow_down=slow_down,
        barnes_hut=barnes_hut,
        barnes_hut_theta=barnes_hut_theta,
        progress=progress,
    )
    with progress_callback(progress, prepared.iterations) as callback:
        return run_prepared(prepared, callback)


def prepare_layout(
    graph: object,
    *,
    n_nodes: int | None = None,
    weights: object = None,
    weight: str | None = "weight",
    source: str | None = None,
    target: str | None = None,
    pos: object = None,
    seed: Seed = 0,
    iterations: int | None = None,
    threads: int | None = None,
    tol: float = 0.0,
    multilevel: bool | None = None,
    picture: str = "auto",
    node_size: object = None,
    node_mass: object = None,
    fixed: object = None,
    progress: Progress = False,
    **settings: object,
) -> PreparedLayout:
    """Check a layout's arguments and build what the kernel needs, as :func:`layout` does.

    Takes :func:`layout`'s arguments (the ForceAtlas2 settings by keyword)
    and returns a :class:`~tallow_forceatlas2.prepare.PreparedLayout`, which
    :func:`~tallow_forceatlas2.prepare.run_prepared` runs to the same bits.

    Raises
    ------
    TypeError, ValueError, MemoryError
        As :func:`layout`, before any work starts.
    """
    setting_names = {setting.name for setting in SETTINGS}
    check_unknown_names(
        "layout", (name for name in settings if name not in setting_names), _LAYOUT_ARGUMENTS
    )
    chosen = {setting.name: settings.get(setting.name, setting.default) for setting in SETTINGS}
    if chosen["prevent_overlap"] is None:
        chosen["prevent_overlap"] = node_size is not None
    kernel_settings(0, chosen)  # settings errors first: they cost nothing to find
    if iterations is not None:
        iterations = _check_count("iterations", iterations, 0, MAX_ITERATIONS)
    if threads is not None:
        threads = _check_count("threads", threads, 1, MAX_THREADS)
    check_progress(progress)
    tolerance = _check_tolerance(tol)
    picture = _check_picture(picture)
    arrays = graph_arrays(
        graph, n_nodes=n_nodes, weights=weights, weight=weight, source=source, target=target
    )
    check_memory(arrays.n_nodes, len(arrays.edges))
    per_node = {"pos": pos, "fixed": fixed, "node_size": node_size, "node_mass": node_mass}
    multilevel = _use_multilevel(multilevel, arrays.n_nodes, per_node, seed, iterations)
    chosen, choices = _picture_settings(picture, multilevel, settings, chosen)
    kernel = kernel_settings(arrays.n_nodes, chosen)
    check_weights(
        arrays.n_nodes,
        arrays.edges,
        arrays.weights,
        float(kernel["edgeWeightInfluence"]),
        arrays.labels,
    )
    sizes = node_sizes(node_size, arrays, graph)
    if kernel["adjustSizes"] and sizes is None:
        # Given sizes (here all at the default 1) make the Barnes-Hut walks
        # keep nodes apart as the exact mode does.
        sizes = np.full(arrays.n_nodes, np.nan)
    masses = node_masses(node_mass, arrays, graph)
    pinned = pinned_nodes(fixed, arrays, graph)
    init, given = given_positions(arrays.n_nodes, pos, seed, arrays.nodes)
    if pinned is not None:
        unplaced_pins(pinned, given, arrays)
    check_start_positions(init, arrays.labels)
    init = place_near_neighbours(init, given, arrays.edges, seed)
    if iterations is None:
        iterations = FINEST_ITERATIONS if multilevel else default_iterations(arrays.n_nodes)
    if iterations > 0 and not multilevel:
        init = spread_coincident(init, seed, pinned)
    if threads is None:
        parallel = runs_parallel(bool(kernel["barnesHutOptimize"]), arrays.n_nodes)
        threads = available_threads() if parallel else 1
    return PreparedLayout(
        n_nodes=arrays.n_nodes,
        edges=arrays.edges,
        weights=arrays.weights,
        init=init,
        iterations=iterations,
        threads=min(threads, WORKERS_PER_PROCESSOR * available_threads()),
        settings=kernel,
        mass=masses,
        size=sizes,
        fixed=pinned,
        tol=tolerance,
        labels=arrays.labels,
        multilevel=multilevel,
        multilevel_seed=_multilevel_seed(seed) if multilevel else None,
        picture_settings=None
        if choices is None
        else {name: kernel_settings(arrays.n_nodes, c) for name, c in choices.items()},
    )
