"""Exact repulsion against the Cython ForceAtlas2 package ``fa2``; prints a table.

The same planted-partition graphs as run.py (1,000, 2,000 and 5,000 nodes,
average degree 10), exact mode (no Barnes-Hut), default settings on both
sides. An iteration's time is that of a call of 2N iterations less that of
a call of N, over N, best of seven calls each; fa2 and this package on one
and on two threads take turns.

usage: pip install fa2==1.1.2 scipy && python benchmarks/peer_bench.py
"""

from __future__ import annotations

import time
from collections.abc import Callable

import numpy as np
import scipy.sparse as sp
from run import planted_partition
from tallow_forceatlas2._native import layout_raw

SIZES = (1_000, 2_000, 5_000)
REPEATS = 7


def ms_per_iteration(calls: list[Callable[[int], object]], iterations: int) -> list[float]:
    """Each call's milliseconds per iteration; the calls take turns, so that a
    noisy minute weighs on all of them alike."""
    counts = (iterations, 2 * iterations)
    best = [dict.fromkeys(counts, float("inf")) for _ in calls]
    for _ in range(REPEATS):
        for call, fastest in zip(calls, best):
            for count in counts:
                start = time.perf_counter()
                call(count)
                fastest[count] = min(fastest[count], time.perf_counter() - start)
    return [(b[2 * iterations] - b[iterations]) / iterations * 1e3 for b in best]


def bench_size(n: int) -> list[float]:
    """fa2's milliseconds per iteration, then this package's on 1 and 2 threads."""
    from fa2 import ForceAtlas2

    edges, init = planted_partition(n)
    ones = np.ones(len(edges))
    adjacency = sp.coo_matrix((ones, (edges[:, 0], edges[:, 1])), shape=(n, n))
    adjacency = (adjacency + adjacency.T).tocsr()
    peer = ForceAtlas2(barnesHutOptimize=False, verbose=False)
    settings: dict[str, bool | float] = {"barnesHutOptimize": False}
    iterations = {1_000: 100, 2_000: 40}.get(n, 8)

    def run_peer(count: int) -> object:
        return peer.forceatlas2(adjacency, pos=init.copy(), iterations=count)

    def run_ours(count: int, threads: int) -> object:
        return layout_raw(n, edges, None, init, count, threads, settings, None)

    return ms_per_iteration(
        [run_peer, lambda count: run_ours(count, 1), lambda count: run_ours(count, 2)],
        iterations,
    )


def main() -> None:
    print(
        f"{'nodes':>7}  {'fa2 ms':>8}  {'1 thread':>9}  {'ratio':>6}  {'2 threads':>9}  {'ratio':>6}"
        f"  {'2 thr gain':>10}"
    )
    for n in SIZES:
        peer_ms, one, two = bench_size(n)
        print(
            f"{n:>7}  {peer_ms:>8.2f}  {one:>9.3f}  {peer_ms / one:>6.1f}"
            f"  {two:>9.3f}  {peer_ms / two:>6.1f}  {one / two:>10.2f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
