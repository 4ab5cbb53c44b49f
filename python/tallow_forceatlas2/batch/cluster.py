"""Many layouts on a Dask cluster, one task per graph.

Each task carries its graph as a ``PreparedLayout`` (arrays only: node
labels stay with the client) in the task itself rather than as scattered
data: the scheduler keeps a task's arguments until it ends, so when a worker
dies the task simply runs again elsewhere, which scattered data would not
survive. Only a window of tasks is in flight at a time, so a long or lazy
input never sits whole in the client's or the scheduler's memory.
"""

from __future__ import annotations

import importlib
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import CancelledError
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.batch.shipping import nbytes, run_shipped, without_labels
from tallow_forceatlas2.prepare import PreparedLayout

__all__ = ["run_on_cluster"]

Item = tuple[int, "PreparedLayout | BaseException"]
Result = NDArray[np.float64]

# Tasks in flight per worker thread: enough that no worker idles while the
# client converts and submits the next graphs.
TASKS_PER_WORKER_THREAD = 2
MIN_TASKS_IN_FLIGHT = 4
# Dask warns about task graphs larger than this; one graph per task is the
# point of the design, so a single big graph raises the threshold for its
# own submission rather than warning.
LARGE_GRAPH_WARNING = "distributed.admin.large-graph-warning-threshold"


def _layout_task(prepared: PreparedLayout, threads: int) -> Result:
    """Run on a worker: the layout of one graph."""
    return run_shipped(prepared, threads)


def _outcome(future: Any) -> Result | BaseException:
    if future.status == "finished":
        result: Result = future.result()
        return result
    if future.status == "cancelled":
        # Cancelled by someone else (another client, a restart of the cluster).
        return CancelledError(f"task {future.key} was cancelled on the cluster")
    error: BaseException = future.exception()
    return error


def _window(client: Any) -> int:
    worker_threads = int(sum(client.nthreads().values()))
    return max(MIN_TASKS_IN_FLIGHT, TASKS_PER_WORKER_THREAD * worker_threads)


def _submit(client: Any, prepared: PreparedLayout, threads: int, key: str) -> Any:
    dask: Any = importlib.import_module("dask")
    threshold = dask.utils.parse_bytes(dask.config.get(LARGE_GRAPH_WARNING))
    # The task's pickled size is its arrays plus a little; twice the data
    # stays clear of the warning with room for the wrapper.
    size = 2 * nbytes(prepared) + 65536
    with dask.config.set({LARGE_GRAPH_WARNING: max(threshold, size)}):
        return client.submit(_layout_task, without_labels(prepared), threads, key=key, pure=False)


def run_on_cluster(
    items: Iterator[Item],
    *,
    client: Any,
    threads: int,
    on_done: Callable[[int, Result | BaseException], None],
) -> None:
    """Run every prepared layout as a task on the client's cluster.

    Parameters
    ----------
    items : iterator of (position, PreparedLayout or exception)
        The batch in input order; an exception stands for a graph that could
        not be converted and is passed straight to ``on_done``.
    client : dask.distributed.Client
        The cluster to run on.
    threads : int
        Kernel threads of each layout on its worker.
    on_done : callable
        Called on this thread as ``on_done(position, result_or_exception)``
        once per graph, in order of completion.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, after cancelling every task not yet reported: queued ones
        never start; one already running finishes on its worker (a worker
        thread cannot be stopped) and its result is dropped.
    """
    # Imported by name so that type checks pass whether or not Dask is installed.
    distributed: Any = importlib.import_module("distributed")
    batch = uuid.uuid4().hex[:8]
    outstanding: dict[str, tuple[int, Any]] = {}
    pending = distributed.as_completed(with_results=False)
    window = _window(client)

    def submit_next() -> None:
        for position, item in items:
            if isinstance(item, BaseException):
                on_done(position, item)
                continue
            future = _submit(client, item, threads, f"tallow-fa2-layout-{batch}-{position}")
            outstanding[future.key] = (position, future)
            pending.add(future)
            return

    try:
        for _ in range(window):
            submit_next()
        for future in pending:
            position, _ = outstanding.pop(future.key)
            on_done(position, _outcome(future))
            future.release()
            submit_next()
    except BaseException:
        client.cancel([future for _, future in outstanding.values()])
        raise
