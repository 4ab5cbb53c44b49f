"""Peak memory of ``tallow_forceatlas2.scanpy.draw_graph`` against the cell graph's own size.

A kNN-like cell graph (each cell joined to ``k`` cells near it in index
order, symmetrised with the larger weight as scanpy's connectivities are:
float32 weights, int32 indices, ~1.6 k stored entries per row) is built in a
child process, the process's peak resident memory is reset
(/proc/self/clear_refs), and the layout runs (from the multilevel start, and from a random one as with
``preset="scanpy"``); the table gives the rise of the
peak over the memory in use before the call, in units of the matrix's bytes.
Linux only.

usage: python benchmarks/scanpy_memory.py [--cells 100000 1000000] [--k 15]
       [--iterations 50]
"""

from __future__ import annotations

import argparse
import multiprocessing
import time

import numpy as np


def knn_like_graph(n: int, k: int, seed: int = 0) -> object:
    import scipy.sparse

    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(n, dtype=np.int64), k)
    cols = (rows + rng.integers(1, 40 * k, n * k)) % n
    weights = rng.random(n * k, dtype=np.float32)
    directed = scipy.sparse.csr_matrix((weights, (rows, cols)), shape=(n, n))
    graph = directed.maximum(directed.T).tocsr()
    graph.sort_indices()
    graph.indices = graph.indices.astype(np.int32)
    graph.indptr = graph.indptr.astype(np.int32)
    return graph


def _status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _measure(
    n: int,
    k: int,
    iterations: int,
    multilevel: bool,
    out: multiprocessing.Queue,  # type: ignore[type-arg]
) -> None:
    import ctypes
    import gc

    import anndata
    from tallow_forceatlas2.scanpy import draw_graph

    graph = knn_like_graph(n, k)
    adata = anndata.AnnData(obs={"cell": np.arange(n)})
    adata.obsp["connectivities"] = graph
    matrix_bytes = graph.data.nbytes + graph.indices.nbytes + graph.indptr.nbytes
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # give back what building the graph freed
    before = _status("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # reset the peak (VmHWM) to the memory in use now
    start = time.perf_counter()
    draw_graph(adata, iterations=iterations, multilevel=multilevel, progress=False)
    seconds = time.perf_counter() - start
    rise = _status("VmHWM") - before
    out.put((n, graph.nnz, matrix_bytes, rise, seconds))
    del adata


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, nargs="+", default=[100_000], help="cell counts")
    parser.add_argument("--k", type=int, default=15, help="neighbours per cell")
    parser.add_argument("--iterations", type=int, default=50, help="iterations per layout")
    args = parser.parse_args()
    print(
        f"{'cells':>10} {'start':>10} {'entries':>12} {'matrix MB':>10} {'peak rise MB':>13} "
        f"{'rise/matrix':>12} {'seconds':>8}"
    )
    context = multiprocessing.get_context("spawn")
    for n, multilevel in [(n, m) for n in args.cells for m in (True, False)]:
        queue = context.Queue()
        child = context.Process(
            target=_measure, args=(n, args.k, args.iterations, multilevel, queue)
        )
        child.start()
        cells, nnz, matrix, rise, seconds = queue.get()
        child.join()
        start = "multilevel" if multilevel else "random"
        print(
            f"{cells:>10,} {start:>10} {nnz:>12,} {matrix / 1e6:>10.1f} {rise / 1e6:>13.1f} "
            f"{rise / matrix:>12.2f} {seconds:>8.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
