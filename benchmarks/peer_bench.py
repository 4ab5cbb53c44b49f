"""Exact repulsion against the Cython ForceAtlas2 package ``fa2``; prints a table.

The same planted-partition graphs as run.py (1,000, 2,000 and 5,000 nodes,
average degree 10), exact mode (no Barnes-Hut), default settings on both
sides. An iteration's time is that of a call of 2N iterations less that of
a call of N, over N, best of three calls each; the two packages take turns.

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
REPEATS = 3


def ms_per_iteration(call: Callable[[int], object], iterations: int) -> float:
    best = {iterations: float("inf"), 2 * iterations: float("inf")}
    for _ in range(REPEATS):
        for count, fastest in best.items():
            start = time.perf_counter()
            call(count)
            best[count] = min(fastest, time.perf_counter() - start)
    return (best[2 * iterations] - best[iterations]) / iterations * 1e3


def bench_size(n: int) -> list[float]:
    """fa2's milliseconds per iteration, then this package's on 1 and 2 threads."""
    from fa2 import ForceAtlas2

    edges, init = planted_partition(n)
    ones = np.ones(len(edges))
    adjacency = sp.coo_matrix((ones, (edges[:, 0], edges[:, 1])), shape=(n, n))
    adjacency = (adjacency + adjacency.T).tocsr()
    peer = ForceAtlas2(barnesHutOptimize=False, verbose=False)
    settings: dict[str, bool | float] = {"barnesHutOptimize": False}
    iterations = 10 if n < 5_000 else 4

    def run_peer(count: int) -> object:
        return peer.forceatlas2(adjacency, pos=init.copy(), iterations=count)

    def run_ours(count: int, threads: int) -> object:
        return layout_raw(n, edges, None, init, count, threads, settings, None)

    return [
        ms_per_iteration(run_peer, iterations),
        ms_per_iteration(lambda count: run_ours(count, 1), iterations),
        ms_per_iteration(lambda count: run_ours(count, 2), iterations),
    ]


def main() -> None:
    print(
        f"{'nodes':>7}  {'fa2 ms':>8}  {'1 thread':>9}  {'ratio':>6}  {'2 threads':>9}  {'ratio':>6}"
    )
    for n in SIZES:
        peer_ms, one, two = bench_size(n)
        print(
            f"{n:>7}  {peer_ms:>8.2f}  {one:>9.3f}  {peer_ms / one:>6.1f}"
            f"  {two:>9.3f}  {peer_ms / two:>6.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
