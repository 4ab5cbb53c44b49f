"""scanpy's ``sc.tl.draw_graph`` against ``tallow_forceatlas2.scanpy.draw_graph``; prints a table.

Data: kNN graphs (k = 15: scanpy's ``sc.pp.neighbors`` with exact neighbours from
scikit-learn) of
seeded clustered point clouds (20 Gaussian clusters of uneven size in 10
dimensions, close enough that the clusters touch in the graph), and scanpy's
bundled ``pbmc68k_reduced`` (700 cells, neighbours recomputed with k = 15 on
its PCA). Methods: scanpy's draw_graph at its default (fa2-modified, 500
iterations, one thread); ours with ``preset="scanpy"`` (the same settings,
500 iterations); ours at its defaults (multilevel start from 10,000 cells).

Measures:
- seconds: wall time of the draw_graph call alone; cpu-s: the CPU time of
  all its threads (on a shared machine, cpu-s / threads bounds the unloaded
  wall time);
- kNN kept: the mean fraction of each cell's graph neighbours (scanpy's
  ``distances``) among its 15 nearest cells in the picture;
- split: clusters (of those connected in the graph, but for at most 10% of
  border cells) drawn in more than one piece: single-linkage of the
  cluster's cells in the picture at 5x the median nearest-cell distance,
  counting pieces of at least 2% of the cluster.

usage: python benchmarks/scanpy_bench.py [--cells 10000 100000] [--no-pbmc]
       [--scanpy-up-to 100000] [--picture docs/scanpy.png]
Needs pip install '.[scanpy]' fa2-modified (scanpy's ForceAtlas2 package).
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

K = 15
CLUSTERS = 20
DIMENSIONS = 10
PIECE_SHARE = 0.02
CONNECTED_SHARE = 0.9
LINK_FACTOR = 5.0


def point_clouds(n: int, seed: int = 0) -> Any:
    import anndata
    import pandas as pd

    rng = np.random.default_rng(seed)
    sizes = rng.multinomial(n, rng.dirichlet(np.full(CLUSTERS, 2.0)))
    centres = rng.normal(0.0, 1.6, (CLUSTERS, DIMENSIONS))
    labels = np.repeat(np.arange(CLUSTERS), sizes)
    points = centres[labels] + rng.normal(0.0, 1.0, (n, DIMENSIONS))
    adata = anndata.AnnData(points.astype(np.float32))
    adata.obs["cluster"] = pd.Categorical(labels.astype(str))
    return adata


def pbmc() -> Any:
    import scanpy as sc

    adata = sc.datasets.pbmc68k_reduced()
    adata.obs["cluster"] = adata.obs["bulk_labels"]
    return adata


def with_neighbours(adata: Any) -> Any:
    import scanpy as sc
    from sklearn.neighbors import KNeighborsTransformer

    rep = "X_pca" if "X_pca" in adata.obsm else "X"
    # Exact neighbours: pynndescent's sparse output trips scanpy 1.11 on current SciPy.
    exact = KNeighborsTransformer(n_neighbors=K - 1, mode="distance", n_jobs=1)
    sc.pp.neighbors(adata, n_neighbors=K, use_rep=rep, random_state=0, transformer=exact)
    return adata


def knn_kept(picture: NDArray[np.float64], distances: Any) -> float:
    from scipy.spatial import cKDTree

    _, nearest = cKDTree(picture).query(picture, k=K + 1)
    graph = distances.tocsr()
    kept = []
    for cell in range(picture.shape[0]):
        neighbours = graph.indices[graph.indptr[cell] : graph.indptr[cell + 1]]
        if len(neighbours):
            kept.append(np.isin(neighbours, nearest[cell, 1:]).mean())
    return float(np.mean(kept))


def split_clusters(picture: NDArray[np.float64], adata: Any) -> tuple[int, int]:
    """(clusters drawn in several pieces, clusters connected in the graph).

    A cluster counts as connected when the largest connected piece of its
    cells' own subgraph holds at least 90% of them (a few border cells whose
    neighbours all lie in other clusters do not count); that piece is then
    looked for in the picture.
    """
    import scipy.sparse
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import cKDTree

    nearest, _ = cKDTree(picture).query(picture, k=2)
    link = LINK_FACTOR * float(np.median(nearest[:, 1]))
    graph = adata.obsp["connectivities"].tocsr()
    labels = np.asarray(adata.obs["cluster"].cat.codes)
    split = connected = 0
    for label in np.unique(labels):
        members = np.flatnonzero(labels == label)
        _, part = connected_components(graph[members][:, members], directed=False)
        largest = np.bincount(part).argmax()
        if (part == largest).sum() < CONNECTED_SHARE * len(members):
            continue
        members = members[part == largest]
        connected += 1
        pairs = cKDTree(picture[members]).query_pairs(link, output_type="ndarray")
        near = scipy.sparse.coo_matrix(
            (np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(len(members),) * 2
        )
        _, piece = connected_components(near, directed=False)
        sizes = np.bincount(piece)
        split += int((sizes >= PIECE_SHARE * len(members)).sum() > 1)
    return split, connected


def scanpy_draw(adata: Any) -> None:
    import scanpy as sc

    sc.tl.draw_graph(adata)


def ours_scanpy_settings(adata: Any) -> None:
    from tallow_forceatlas2.scanpy import draw_graph

    draw_graph(adata, preset="scanpy", progress=False)


def ours_default(adata: Any) -> None:
    from tallow_forceatlas2.scanpy import draw_graph

    draw_graph(adata, progress=False)


METHODS: dict[str, Callable[[Any], None]] = {
    "scanpy draw_graph": scanpy_draw,
    "ours, scanpy settings": ours_scanpy_settings,
    "ours, defaults": ours_default,
}


def measure(name: str, adata: Any, method: str) -> tuple[str, ...]:
    start, cpu = time.perf_counter(), time.process_time()
    METHODS[method](adata)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    picture = np.asarray(adata.obsm["X_draw_graph_fa"])
    kept = knn_kept(picture, adata.obsp["distances"])
    split, connected = split_clusters(picture, adata)
    return (name, method, f"{seconds:.1f}", f"{cpu:.1f}", f"{kept:.3f}", f"{split}/{connected}")


WIDTHS = (18, 22, 9, 9, 9, 7)


def print_row(cells: tuple[str, ...]) -> None:
    first = cells[0].ljust(WIDTHS[0]) + " " + cells[1].ljust(WIDTHS[1])
    rest = " ".join(cell.rjust(width) for cell, width in zip(cells[2:], WIDTHS[2:]))
    print(first + " " + rest, flush=True)


def picture(path: Path) -> None:
    """pbmc68k_reduced drawn by scanpy and by us (defaults), side by side."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    adata = with_neighbours(pbmc())
    figure, axes = plt.subplots(1, 2, figsize=(9, 4.2))
    codes = np.asarray(adata.obs["cluster"].cat.codes)
    for ax, method in zip(axes, ("scanpy draw_graph", "ours, defaults")):
        start = time.perf_counter()
        METHODS[method](adata)
        seconds = time.perf_counter() - start
        xy = np.asarray(adata.obsm["X_draw_graph_fa"])
        ax.scatter(xy[:, 0], xy[:, 1], c=codes, cmap="tab10", s=6, linewidths=0)
        ax.set_title(f"{method} ({seconds:.1f} s)", fontsize=10)
        ax.set_xticks([])
        ax.set_yticks([])
    figure.suptitle("pbmc68k_reduced, kNN graph k = 15, coloured by bulk_labels", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    print(f"wrote {path} ({path.stat().st_size / 1e3:.0f} KB)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, nargs="*", default=[10_000, 100_000], help="sizes")
    parser.add_argument("--no-pbmc", action="store_true", help="skip pbmc68k_reduced")
    parser.add_argument(
        "--scanpy-up-to", type=int, default=100_000, help="run scanpy's draw_graph up to this size"
    )
    parser.add_argument("--picture", type=Path, help="write the pbmc picture here and stop")
    args = parser.parse_args()
    if args.picture:
        picture(args.picture)
        return
    print_row(("data", "method", "seconds", "cpu-s", "kNN kept", "split"))
    cases: list[tuple[str, Callable[[], Any]]] = []
    if not args.no_pbmc:
        cases.append(("pbmc68k_reduced", pbmc))
    cases += [(f"clouds {n:,}", lambda n=n: point_clouds(n)) for n in args.cells]
    for name, make in cases:
        adata = with_neighbours(make())
        for method in METHODS:
            if method.startswith("scanpy") and adata.n_obs > args.scanpy_up_to:
                continue
            print_row(measure(name, adata, method))


if __name__ == "__main__":
    main()
