"""Benchmark of reading big edge lists: the plain reader against the pyarrow fast path.

Writes a seeded CSV edge list (``source,target,weight`` with text labels
``n123``, random pairs over n = edges / 5 nodes) and reads it with
``tallow_forceatlas2.io.readers.read_edge_list``, once with the fast path off
and once on, each in a fresh subprocess so that its peak resident memory is
its own. Prints rows per second, seconds and peak memory per reader.

usage: python benchmarks/read_bench.py [--edges 10000000] [--keep FILE]
Needs the package installed (pip install '.[fast]' for the fast path).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

CHILD = """
import json, resource, sys, time
from pathlib import Path
from tallow_forceatlas2.io import fast_csv
from tallow_forceatlas2.io.readers import read_edge_list
if sys.argv[2] == "plain":
    fast_csv.FAST_FROM_BYTES = 1 << 62
start = time.perf_counter()
graph = read_edge_list(Path(sys.argv[1]))
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "peak": peak, "edges": len(graph.edges),
                  "nodes": len(graph.nodes)}))
"""


def write_edge_list(path: Path, n_edges: int) -> None:
    rng = np.random.default_rng(0)
    n_nodes = max(n_edges // 5, 2)
    chunk = 1_000_000
    with path.open("w", encoding="utf-8") as out:
        out.write("source,target,weight\n")
        for start in range(0, n_edges, chunk):
            count = min(chunk, n_edges - start)
            pairs = rng.integers(0, n_nodes, size=(count, 2))
            weights = rng.integers(1, 10, size=count)
            out.write("".join(f"n{u},n{v},{w}\n" for (u, v), w in zip(pairs.tolist(), weights)))


def measure(path: Path, reader: str) -> dict[str, float]:
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), reader],
        capture_output=True,
        text=True,
        check=True,
    )
    figures: dict[str, float] = json.loads(result.stdout)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--keep", type=Path, help="write the CSV here and keep it")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = args.keep or Path(folder) / "edges.csv"
        if not path.exists():
            start = time.perf_counter()
            write_edge_list(path, args.edges)
            print(
                f"wrote {path.stat().st_size / 2**20:,.0f} MB in "
                f"{time.perf_counter() - start:.1f} s",
                file=sys.stderr,
            )
        print(f"{'reader':<8} {'edges':>12} {'seconds':>8} {'rows/s':>12} {'peak MB':>8}")
        for reader in ("plain", "fast"):
            got = measure(path, reader)
            rate = got["edges"] / got["seconds"]
            print(
                f"{reader:<8} {int(got['edges']):>12,} {got['seconds']:>8.2f} "
                f"{rate:>12,.0f} {got['peak'] / 2**20:>8,.0f}"
            )


if __name__ == "__main__":
    main()
