"""Benchmark of pictures of big graphs: datashader against matplotlib.

A seeded graph of n nodes in 20 planted communities and 10 n edges
(90% inside a community), placed as a finished layout looks: each community a
Gaussian blob around its own centre. Drawing cost depends on the numbers of
nodes, edges and pixels, not on how the positions were found, so the
benchmark spares itself a long layout. Each drawing runs in a fresh
subprocess; prints seconds and peak resident memory.

usage: python benchmarks/big_picture_bench.py [--nodes 1000000] [--matplotlib]
Needs the package with the bigplot extra (pip install '.[bigplot]').
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

COMMUNITIES = 20
EDGES_PER_NODE = 10

CHILD = """
import json, resource, sys, time
import numpy as np
from pathlib import Path
data = np.load(sys.argv[1])
edges, positions, groups = data["edges"], data["positions"], data["groups"].tolist()
start = time.perf_counter()
if sys.argv[2] == "datashader":
    from tallow_forceatlas2.draw.big import save_big_picture
    save_big_picture(Path(sys.argv[3]), edges, positions, communities=groups)
else:
    from tallow_forceatlas2.draw.plot import save_picture
    save_picture(Path(sys.argv[3]), edges, positions, communities=groups)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "peak": peak}))
"""


def planted_graph(n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(0)
    group = rng.integers(0, COMMUNITIES, size=n)
    members = [np.flatnonzero(group == g) for g in range(COMMUNITIES)]
    m = EDGES_PER_NODE * n
    sources = rng.integers(0, n, size=m)
    inside = rng.random(m) < 0.9
    targets = rng.integers(0, n, size=m)
    for g in range(COMMUNITIES):
        pick = inside & (group[sources] == g)
        targets[pick] = rng.choice(members[g], size=int(pick.sum()))
    angle = 2 * np.pi * np.arange(COMMUNITIES) / COMMUNITIES
    centres = np.stack([np.cos(angle), np.sin(angle)], axis=1) * 100
    positions = centres[group] + rng.normal(scale=18, size=(n, 2))
    return np.stack([sources, targets], axis=1), positions, group


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--matplotlib", action="store_true", help="also time matplotlib")
    parser.add_argument("--keep", type=Path, help="save the datashader picture here")
    args = parser.parse_args()
    edges, positions, group = planted_graph(args.nodes)
    with tempfile.TemporaryDirectory() as folder:
        data = Path(folder) / "graph.npz"
        np.savez(data, edges=edges, positions=positions, groups=np.char.add("c", group.astype(str)))
        print(f"{'drawing':<11} {'nodes':>10} {'edges':>11} {'seconds':>8} {'peak MB':>8}")
        for tool in ["datashader"] + (["matplotlib"] if args.matplotlib else []):
            out = args.keep if (args.keep and tool == "datashader") else Path(folder) / "p.png"
            result = subprocess.run(
                [sys.executable, "-c", CHILD, str(data), tool, str(out)],
                capture_output=True,
                text=True,
                check=True,
            )
            got = json.loads(result.stdout)
            print(
                f"{tool:<11} {args.nodes:>10,} {len(edges):>11,} {got['seconds']:>8.1f} "
                f"{got['peak'] / 2**20:>8,.0f}"
            )


if __name__ == "__main__":
    main()
