"""Benchmark of one Barnes-Hut iteration from hostile start positions.

A seeded planted-partition graph (average degree 10, 40,000 nodes by
default), one iteration with Barnes-Hut at theta 1.2 and 0.5 on 1 and 2
threads, from three kinds of start positions: random, every node at one point,
and one start coordinate of 1e39 (infinite once stored as f32, so every
position is NaN after the first iteration). Each is timed through
``_native.layout_raw`` and through ``layout()``; a start that ``layout()``
refuses shows its error instead of a time. Prints one aligned table of
seconds (best of ``--repeat`` runs) and, per row, the ratio to the random start.

usage: python benchmarks/degenerate_bench.py [--nodes 40000] [--threads 1,2]
           [--thetas 1.2,0.5] [--repeat 1] [--entries raw,layout]
Needs the package installed (pip install .).
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import planted_partition

# Not a round number: nothing about the point makes the arithmetic easy.
ONE_POINT = (3.7, -1.2)
HUGE = 1e39


def starts(init: np.ndarray) -> dict[str, np.ndarray]:
    """The three kinds of start positions, all of the graph's shape."""
    coincident = np.empty_like(init)
    coincident[:] = ONE_POINT
    huge = init.copy()
    huge[0, 0] = HUGE
    return {"random": init, "one point": coincident, "one 1e39": huge}


def best_of(repeat: int, run: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def time_raw(
    n: int, edges: np.ndarray, init: np.ndarray, theta: float, threads: int, repeat: int
) -> str:
    from tallow_forceatlas2._native import layout_raw

    settings = {"barnesHutOptimize": True, "barnesHutTheta": theta}

    def run() -> object:
        return layout_raw(n, edges, None, init, 1, threads, settings, None)

    return f"{best_of(repeat, run):.3f}"


def time_layout(
    n: int, edges: np.ndarray, init: np.ndarray, theta: float, threads: int, repeat: int
) -> str:
    from tallow_forceatlas2 import layout

    def run() -> object:
        return layout(
            edges,
            n_nodes=n,
            pos=init,
            iterations=1,
            threads=threads,
            barnes_hut=True,
            barnes_hut_theta=theta,
        )

    try:
        return f"{best_of(repeat, run):.3f}"
    except ValueError as error:
        text = str(error)
        return f"ValueError: {text if len(text) <= 60 else text[:57] + '...'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=40_000)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--thetas", default="1.2,0.5")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--entries", default="raw,layout")
    args = parser.parse_args()
    n = args.nodes
    edges, init = planted_partition(n)
    timers = {"layout_raw": time_raw, "layout()": time_layout}
    entries = [
        name
        for name, key in (("layout_raw", "raw"), ("layout()", "layout"))
        if key in args.entries.split(",")
    ]
    header = ("entry", "start", "theta", "threads", "seconds", "x random")
    rows: list[tuple[str, ...]] = []
    print(f"one Barnes-Hut iteration, {n:,} nodes, {len(edges):,} edges", flush=True)
    for entry in entries:
        for theta in (float(t) for t in args.thetas.split(",")):
            for threads in (int(t) for t in args.threads.split(",")):
                base = None
                for name, positions in starts(init).items():
                    seconds = timers[entry](n, edges, positions, theta, threads, args.repeat)
                    ratio = ""
                    if name == "random":
                        base = float(seconds)
                    elif base and not seconds.startswith("ValueError"):
                        ratio = f"{float(seconds) / base:.1f}"
                    rows.append((entry, name, str(theta), str(threads), seconds, ratio))
                    print("  " + " | ".join(rows[-1]), file=sys.stderr, flush=True)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths), *rows]:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=True)).rstrip())


if __name__ == "__main__":
    main()
