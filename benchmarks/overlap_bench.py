"""Node sizes with Barnes-Hut: how many nodes still overlap, and what sizes cost.

Seeded planted-partition graphs (average degree 10). Each graph is first laid
out without sizes (``layout_raw``, Barnes-Hut at theta 1.2, strong gravity);
from there, ``prevent_overlap`` (adjustSizes) runs on, once with random node
sizes from 1 to 5 passed to ``layout_nodes`` and once without (every size 1,
``layout_raw``). For each result: how many pairs of nodes are closer than the
sum of their sizes (found with a KD-tree), as a share of all pairs, and the
share of nodes that overlap at least one other. Up to 2,000 nodes the exact
mode with the same sizes is shown too.

Then the cost per iteration, best of ``--repeat`` alternating runs from the
pre-laid-out start: ``layout_nodes`` with sizes, ``layout_nodes`` without
per-node arrays and ``layout_raw``, all with adjustSizes and Barnes-Hut. The
last two run the same kernel loop and must agree within a few percent.

usage: python benchmarks/overlap_bench.py [--sizes 1000,100000] [--threads 1]
           [--pre 300] [--iterations 300] [--timing-iterations 10] [--repeat 5]
Needs the package installed (pip install .) and scipy.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.spatial import cKDTree
from tallow_forceatlas2._native import layout_nodes, layout_raw

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import planted_partition

BASE = {
    "barnesHutOptimize": True,
    "barnesHutTheta": 1.2,
    "strongGravityMode": True,
    "gravity": 0.05,
    "scalingRatio": 2.0,
}
PREVENT_OVERLAP = {**BASE, "adjustSizes": True}
EXACT_LIMIT = 2_000


def overlaps(positions: NDArray[np.float64], size: NDArray[np.float64]) -> tuple[int, float]:
    """Pairs closer than the sum of their sizes, and the share of nodes in such a pair."""
    tree = cKDTree(positions)
    pairs = tree.query_pairs(2.0 * float(size.max()), output_type="ndarray")
    i, j = pairs[:, 0], pairs[:, 1]
    gaps = np.linalg.norm(positions[i] - positions[j], axis=1)
    close = gaps < size[i] + size[j]
    touched = np.zeros(len(size), dtype=bool)
    touched[i[close]] = True
    touched[j[close]] = True
    return int(close.sum()), float(touched.mean())


def best_of(repeat: int, runs: dict[str, Callable[[], Any]]) -> dict[str, float]:
    """Best wall time of each run, the runs alternating so that noise hits all alike."""
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(repeat):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def bench_overlap(n: int, args: argparse.Namespace) -> None:
    edges, init = planted_partition(n)
    size = np.random.default_rng(3).uniform(1.0, 5.0, n)
    threads = max(args.threads)
    pre = layout_raw(n, edges, None, init, args.pre, threads, BASE, None)
    results = {"before prevent_overlap": pre}
    start = time.perf_counter()
    results["sizes 1-5, Barnes-Hut"] = layout_nodes(
        n, edges, None, pre, args.iterations, threads, PREVENT_OVERLAP, None, size=size
    )
    sized_seconds = time.perf_counter() - start
    start = time.perf_counter()
    results["all size 1 (layout_raw)"] = layout_raw(
        n, edges, None, pre, args.iterations, threads, PREVENT_OVERLAP, None
    )
    plain_seconds = time.perf_counter() - start
    if n <= EXACT_LIMIT:
        exact = {**PREVENT_OVERLAP, "barnesHutOptimize": False}
        results["sizes 1-5, exact"] = layout_nodes(
            n, edges, None, pre, args.iterations, threads, exact, None, size=size
        )
    all_pairs = n * (n - 1) // 2
    print(f"\n{n:,} nodes, {args.pre} + {args.iterations} iterations, {threads} threads")
    print(f"  {'run':<26} {'overlapping pairs':>18} {'share of pairs':>15} {'nodes':>8}")
    for name, positions in results.items():
        count, touched = overlaps(positions, size)
        print(f"  {name:<26} {count:>18,} {count / all_pairs:>15.3e} {touched:>8.2%}")
    print(
        f"  ({args.iterations} iterations: {sized_seconds:.1f} s with sizes, "
        f"{plain_seconds:.1f} s with size 1)"
    )


def bench_cost(n: int, threads: int, args: argparse.Namespace) -> None:
    edges, init = planted_partition(n)
    size = np.random.default_rng(3).uniform(1.0, 5.0, n)
    start = layout_raw(n, edges, None, init, args.pre, max(args.threads), BASE, None)
    k = args.timing_iterations
    best = best_of(
        args.repeat,
        {
            "layout_nodes, sizes": lambda: layout_nodes(
                n, edges, None, start, k, threads, PREVENT_OVERLAP, None, size=size
            ),
            "layout_nodes, no arrays": lambda: layout_nodes(
                n, edges, None, start, k, threads, PREVENT_OVERLAP, None
            ),
            "layout_raw": lambda: layout_raw(
                n, edges, None, start, k, threads, PREVENT_OVERLAP, None
            ),
        },
    )
    raw = best["layout_raw"]
    cells = "  ".join(
        f"{name} {1000 * seconds / k:8.2f} ms ({seconds / raw - 1:+.1%})"
        for name, seconds in best.items()
    )
    print(f"{n:>9,} nodes {threads} thr: {cells}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,100000")
    parser.add_argument("--threads", default="1")
    parser.add_argument("--pre", type=int, default=300)
    parser.add_argument("--iterations", type=int, default=300)
    parser.add_argument("--timing-iterations", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--skip-overlap", action="store_true")
    parser.add_argument("--skip-cost", action="store_true")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    args.threads = [int(t) for t in args.threads.split(",")]
    if not args.skip_overlap:
        for n in sizes:
            bench_overlap(n, args)
    if not args.skip_cost:
        print(
            f"\nms per iteration, best of {args.repeat} alternating runs "
            f"(relative to layout_raw); adjustSizes and Barnes-Hut theta 1.2"
        )
        for n in sizes:
            for threads in args.threads:
                bench_cost(n, threads, args)


if __name__ == "__main__":
    main()
