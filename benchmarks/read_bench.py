"""Benchmark of reading big edge lists: the plain reader against the pyarrow fast path.

Writes a seeded CSV edge list (``source,target,weight``, or
``source,target`` with ``--unweighted``, with text labels ``n123``, random
pairs over ``--nodes`` nodes, default edges / 10) and reads
it with ``tallow_forceatlas2.io.readers.read_graph``, with the fast path off
(``plain``), as installed (``fast``), and from a gzip copy (``gzip``, with
``--gzip``), each in a fresh subprocess so that its peak resident memory is
its own. Prints seconds, rows per second and peak memory per reader, and the
peak over the file's size. The 10-million-edge default is the size the
README quotes.

usage: python benchmarks/read_bench.py [--edges 10000000] [--nodes N] [--keep FILE]
       [--readers plain fast] [--gzip] [--unweighted]
"""

from __future__ import annotations

import argparse
import gzip
import json
import shutil
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
from tallow_forceatlas2.io.readers import read_graph
if sys.argv[2] == "plain":
    fast_csv.FAST_FROM_BYTES = 1 << 62
start = time.perf_counter()
graph = read_graph(Path(sys.argv[1]))
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "peak": peak, "edges": len(graph.edges),
                  "nodes": len(graph.nodes)}))
"""


def write_edge_list(path: Path, n_edges: int, n_nodes: int, weighted: bool) -> None:
    rng = np.random.default_rng(0)
    chunk = 1_000_000
    with path.open("w", encoding="utf-8") as out:
        out.write("source,target,weight\n" if weighted else "source,target\n")
        for start in range(0, n_edges, chunk):
            count = min(chunk, n_edges - start)
            pairs = rng.integers(0, n_nodes, size=(count, 2)).tolist()
            if weighted:
                weights = rng.integers(1, 10, size=count).tolist()
                out.write("".join(f"n{u},n{v},{w}\n" for (u, v), w in zip(pairs, weights)))
            else:
                out.write("".join(f"n{u},n{v}\n" for u, v in pairs))


def measure(path: Path, reader: str) -> dict[str, float]:
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), reader],
        capture_output=True,
        text=True,
        check=True,
    )
    figures: dict[str, float] = json.loads(result.stdout)
    return figures


def gzip_copy(path: Path, folder: Path) -> Path:
    packed = folder / (path.name + ".gz")
    with path.open("rb") as source, gzip.open(packed, "wb", compresslevel=6) as out:
        shutil.copyfileobj(source, out, 1 << 20)
    return packed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--nodes", type=int, help="default: edges / 10")
    parser.add_argument("--keep", type=Path, help="write the CSV here and keep it")
    parser.add_argument(
        "--readers", nargs="+", choices=("plain", "fast"), default=["plain", "fast"]
    )
    parser.add_argument("--gzip", action="store_true", help="also read a gzip copy")
    parser.add_argument("--unweighted", action="store_true", help="write source,target only")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = args.keep or Path(folder) / "edges.csv"
        if not path.exists():
            start = time.perf_counter()
            nodes = args.nodes or max(args.edges // 10, 2)
            write_edge_list(path, args.edges, nodes, not args.unweighted)
            print(
                f"wrote {path.stat().st_size / 2**20:,.0f} MiB in "
                f"{time.perf_counter() - start:.1f} s",
                file=sys.stderr,
            )
        size = path.stat().st_size
        runs = [(reader, path) for reader in args.readers]
        if args.gzip:
            runs.append(("gzip", gzip_copy(path, Path(folder))))
        print(f"file: {size / 2**20:,.0f} MiB")
        print(
            f"{'reader':<8} {'edges':>12} {'nodes':>10} {'seconds':>8} {'rows/s':>12} "
            f"{'peak MiB':>8} {'x file':>6}"
        )
        for reader, source in runs:
            got = measure(source, reader)
            rate = got["edges"] / got["seconds"]
            print(
                f"{reader:<8} {int(got['edges']):>12,} {int(got['nodes']):>10,} "
                f"{got['seconds']:>8.2f} {rate:>12,.0f} {got['peak'] / 2**20:>8,.0f} "
                f"{got['peak'] / size:>6.2f}"
            )


if __name__ == "__main__":
    main()
