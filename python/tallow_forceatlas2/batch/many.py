"""``layout_many``: many graphs laid out at once, on threads or on a Dask cluster."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sized
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.api import MAX_ITERATIONS, MAX_THREADS, _check_count, available_threads
from tallow_forceatlas2.batch.local import run_on_threads
from tallow_forceatlas2.batch.outcome import Outcome
from tallow_forceatlas2.batch.shipping import LAYOUT_OPTIONS, ship
from tallow_forceatlas2.batch.tally import BatchProgress, graph_counter
from tallow_forceatlas2.positions import random_positions
from tallow_forceatlas2.prepare import PreparedLayout
from tallow_forceatlas2.settings import SETTINGS, check_unknown_names, kernel_settings

__all__ = ["check_shared_options", "layout_many", "run_batch", "shipped_items"]

Result = NDArray[np.float64]
Item = tuple[int, "PreparedLayout | BaseException"]


def check_shared_options(options: Mapping[str, object]) -> None:
    """Raise for a mistake in the options shared by every graph, before any work.

    Checks what does not depend on a graph: names, settings, iterations, seed
    and weight. The rest (``pos``, ``node_size`` and the like) is checked
    with each graph, and a mistake there fails that graph.

    Raises
    ------
    TypeError, ValueError
        As ``layout()`` would.
    """
    check_unknown_names(
        "layout_many", (name for name in options if name not in LAYOUT_OPTIONS), LAYOUT_OPTIONS
    )
    names = {setting.name for setting in SETTINGS}
    kernel_settings(0, {name: value for name, value in options.items() if name in names})
    if options.get("iterations") is not None:
        _check_count("iterations", options["iterations"], 0, MAX_ITERATIONS)
    random_positions(0, options.get("seed", 0))  # type: ignore[arg-type]
    weight = options.get("weight", "weight")
    if weight is not None and not isinstance(weight, str):
        raise TypeError(f"weight must be an attribute name or None, not {type(weight).__name__}")


def _split(entry: object) -> tuple[object, Mapping[str, object]]:
    # A 2-tuple whose second item is a mapping is (graph, options); an edge
    # list given as a tuple of two pairs has a pair there, never a mapping.
    if isinstance(entry, tuple) and len(entry) == 2 and isinstance(entry[1], Mapping):
        return entry[0], entry[1]
    return entry, {}


def shipped_items(graphs: Iterable[object], shared: Mapping[str, object]) -> Iterator[Item]:
    """Yield ``(position, PreparedLayout)``, or the exception that stopped a graph's preparation."""
    for position, entry in enumerate(graphs):
        graph, own = _split(entry)
        try:
            yield position, ship(graph, {**shared, **own})
        except Exception as error:  # noqa: BLE001 - reported by position; the batch goes on
            yield position, error


def run_batch(
    items: Iterator[Item],
    *,
    client: Any,
    threads: int | None,
    on_done: Callable[[int, Result | BaseException], None],
) -> None:
    """Run prepared layouts on threads of this process, or on ``client``'s cluster."""
    if threads is not None:
        threads = _check_count("threads", threads, 1, MAX_THREADS)
    if client is None:
        run_on_threads(items, cores=threads or available_threads(), on_done=on_done)
        return
    from tallow_forceatlas2.batch.cluster import run_on_cluster

    run_on_cluster(items, client=client, threads=threads or 1, on_done=on_done)


def layout_many(
    graphs: Iterable[object],
    *,
    client: Any = None,
    threads: int | None = None,
    progress: BatchProgress = False,
    **settings: Any,
) -> list[Result]:
    """Lay out many graphs with ForceAtlas2; return their positions in input order.

    Every result is the same, bit for bit, as ``layout(graph, **settings,
    **options)`` called on that graph alone, whatever the threads or the
    cluster.

    Parameters
    ----------
    graphs : iterable
        Graphs as :func:`tallow_forceatlas2.layout` takes them, or
        ``(graph, options)`` pairs whose dict sets that graph's own
        ``n_nodes``, ``weights``, ``pos``, ``seed``, ``fixed`` or any other
        keyword of ``layout()`` but ``threads`` and ``progress``. May be
        lazy: only a few graphs beyond those running are prepared ahead.
    client : dask.distributed.Client, optional
        Run on this Dask cluster: each graph is converted here to compact
        arrays (node labels stay here) and laid out as one task on a worker.
        Default: a thread pool in this process.
    threads : int, optional
        Without a client, the processor cores to use (default: all this
        process may run on), shared between concurrent layouts and their
        kernel threads: one thread per layout while graphs wait for a core,
        free cores spread over the last large graphs. With a client, the
        kernel threads of each layout (default 1: the workers' threads are
        the parallelism).
    progress : bool or callable, default False
        ``True`` shows a tqdm bar counting graphs; a callable is called as
        ``progress(done, total)`` after each graph (``total`` is None when
        ``graphs`` has no length).
    **settings
        ``layout()`` keywords shared by every graph (a graph's own options
        take precedence): the ForceAtlas2 settings, ``iterations``, ``seed``,
        ``weight``, and any other but ``threads`` and ``progress``.

    Returns
    -------
    list of ndarray of float64, shape (n, 2)
        One array per graph, in input order.

    Raises
    ------
    TypeError, ValueError
        For a mistake in the shared arguments, before any work starts.
    BatchError
        Once every graph has been tried, when some failed (bad input, an
        error on a worker, a task that killed its workers): ``.failures``
        maps each failed graph's position to its exception and ``.results``
        holds every result in input order, None for the failed ones.
    KeyboardInterrupt
        On Ctrl-C: no further graph starts. On threads, running layouts stop
        within about one iteration; on a cluster, every task not yet
        reported is cancelled (one already running finishes on its worker).

    Examples
    --------
    >>> import numpy as np
    >>> from tallow_forceatlas2.batch import layout_many
    >>> rings = [np.array([[i, (i + 1) % n] for i in range(n)]) for n in (3, 4, 5)]
    >>> [p.shape for p in layout_many(rings, iterations=20, threads=2)]
    [(3, 2), (4, 2), (5, 2)]
    """
    check_shared_options(settings)
    total = len(graphs) if isinstance(graphs, Sized) else None
    outcome: Outcome[Result] = Outcome()
    if total is not None and total > 0:
        outcome.reserve(total - 1)
    with graph_counter(progress, total) as advance:

        def on_done(position: int, result: Result | BaseException) -> None:
            outcome.record(position, result)
            advance()

        run_batch(shipped_items(graphs, settings), client=client, threads=threads, on_done=on_done)
    return outcome.results()
