"""Many layouts on a thread pool of the calling process.

The kernel runs with the interpreter lock released, so layouts on separate
threads run truly in parallel; each also owns its kernel worker threads. The
pool hands out processor cores: a layout holds its kernel threads' worth of
cores until it ends, and a graph starts only when a core is free.

How the cores are split. Layouts on separate threads share nothing, while
the kernel's own threads wait for each other at every phase of every
iteration. Measured on 2 cores (benchmarks/batch_bench.py --split, 100
iterations): two layouts at once finish graphs of 1,000 to 5,000 nodes 1.84
to 1.87 times as fast as one after the other, one layout on two kernel
threads 0.82 to 1.03 times. So a batch gives every layout one thread while
other graphs wait for a core, and spreads free cores only over the last
graphs, and only over those that ``layout()`` itself would run on several
threads (Barnes-Hut from 2,500 nodes, exact from 768). Thread counts never change a bit
of a result.
"""

from __future__ import annotations

import threading
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.batch.shipping import run_shipped
from tallow_forceatlas2.prepare import PreparedLayout
from tallow_forceatlas2.thread_counts import runs_parallel

__all__ = ["kernel_threads", "run_on_threads"]

Item = tuple[int, "PreparedLayout | BaseException"]
Result = NDArray[np.float64]


class _Stopped(Exception):
    """Raised inside a running layout once the batch is being cancelled."""


def kernel_threads(prepared: PreparedLayout, idle: int, waiting: int) -> int:
    """Return the kernel threads of a layout about to start.

    Parameters
    ----------
    prepared : PreparedLayout
        The layout.
    idle : int
        Cores free right now (at least 1).
    waiting : int
        Graphs that will start after this one and may still want a core.

    Returns
    -------
    int
        1 for graphs ``layout()`` runs on one thread, and whenever other
        graphs wait; else an equal share of the free cores.
    """
    if not runs_parallel(bool(prepared.settings["barnesHutOptimize"]), prepared.n_nodes):
        return 1
    return max(1, idle // (1 + waiting))


class _CoreAccount:
    """Starts shipped layouts on a pool while cores are free, and takes them back."""

    def __init__(
        self,
        items: Iterator[Item],
        cores: int,
        pool: ThreadPoolExecutor,
        check_stop: Callable[[int, int], None],
    ) -> None:
        self.items, self.cores, self.pool, self.check_stop = items, cores, pool, check_stop
        self.idle = cores
        self.lookahead: deque[Item] = deque()
        self.exhausted = False
        self.running: dict[Future[Result], tuple[int, int]] = {}

    def _refill(self) -> None:
        # Converting a few graphs ahead tells the split how many remain.
        while not self.exhausted and len(self.lookahead) < self.cores:
            try:
                self.lookahead.append(next(self.items))
            except StopIteration:
                self.exhausted = True

    def start_ready(self, on_done: Callable[[int, Result | BaseException], None]) -> bool:
        """Start graphs while cores are free; return whether anything is left to do."""
        self._refill()
        while self.idle > 0 and self.lookahead:
            position, item = self.lookahead.popleft()
            if isinstance(item, BaseException):
                on_done(position, item)
                self._refill()
                continue
            self._refill()
            waiting = len(self.lookahead)
            if not self.exhausted:
                waiting = max(waiting, self.cores)
            threads = kernel_threads(item, self.idle, waiting)
            future = self.pool.submit(run_shipped, item, threads, self.check_stop)
            self.running[future] = (position, threads)
            self.idle -= threads
        return bool(self.running or self.lookahead or not self.exhausted)

    def collect(self, on_done: Callable[[int, Result | BaseException], None]) -> None:
        """Wait for at least one running layout to end and report it."""
        if not self.running:
            return
        finished, _ = wait(self.running, return_when=FIRST_COMPLETED)
        for future in finished:
            position, threads = self.running.pop(future)
            self.idle += threads
            error = future.exception()
            on_done(position, error if error is not None else future.result())


def run_on_threads(
    items: Iterator[Item],
    *,
    cores: int,
    on_done: Callable[[int, Result | BaseException], None],
) -> None:
    """Run every prepared layout on a pool sharing ``cores`` processor cores.

    Parameters
    ----------
    items : iterator of (position, PreparedLayout or exception)
        The batch in input order; an exception stands for a graph that could
        not be converted and is passed straight to ``on_done``.
    cores : int
        Cores to share between concurrent layouts and their kernel threads.
    on_done : callable
        Called on this thread as ``on_done(position, result_or_exception)``
        once per graph, in order of completion.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C: no further graph starts, running layouts stop within
        about one iteration, and the interrupt propagates once they have.
    """
    stop = threading.Event()

    def check_stop(done: int, total: int) -> None:
        if stop.is_set():
            raise _Stopped("batch cancelled")

    with ThreadPoolExecutor(max_workers=cores, thread_name_prefix="tallow-fa2-batch") as pool:
        account = _CoreAccount(items, cores, pool, check_stop)
        try:
            while account.start_ready(on_done):
                account.collect(on_done)
        except BaseException:
            stop.set()
            pool.shutdown(wait=True, cancel_futures=True)
            raise
