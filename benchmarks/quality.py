"""Layout quality benchmark: how well a picture shows a graph's communities.

Graphs: seeded planted-partition graphs (average degree 10, 70 % of the edges
inside communities; 20 communities at 10,000 nodes, 50 at 100,000, 150 at
1,000,000) and networkx LFR benchmark graphs (cached under build/quality-cache
because the generator is pure Python).

Measures, per layout:
- share: the fraction of nodes of which at least 6 of the 10 nearest
  neighbours in the picture belong to the node's own community;
- edge length: Noack's normalized edge length, the mean edge length divided
  by the mean distance of random node pairs (smaller is tighter);
- seconds: wall time of the layout call alone; cpu-s: the CPU time of all its
  threads (on a loaded machine, cpu-s / threads bounds the unloaded wall time).

Methods: plain ``layout()`` at several iteration budgets, the multilevel
layout, and igraph's DrL as a reference (at 100,000 nodes only with --drl,
since it takes minutes).

usage: python benchmarks/quality.py [--sizes 10000,100000] [--million] [--drl]
       [--graphs planted,lfr] [--methods plain-300,multilevel,...]
       python benchmarks/quality.py --picture docs/multilevel.png
       python benchmarks/quality.py --tol 0.001,0.003,0.01 [--sizes ...] [--graphs ...]
(--picture: a 100,000-node planted graph, plain ForceAtlas2 beside the
multilevel layout, plain given as many iterations as fit in the multilevel
layout's time. --tol: the default plain run and the multilevel run, the
latter with tol on the input graph alone and on every level, each without tol
and with every tolerance given; iters: iterations run of the budget.)
Needs the package installed (pip install .), scipy and networkx; igraph for DrL.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "quality-cache"
AVERAGE_DEGREE = 10
INSIDE_SHARE = 0.7
NEIGHBOURS = 10
MAJORITY = 6
RANDOM_PAIRS = 200_000
THREADS = 2
PLANTED_COMMUNITIES = {10_000: 20, 100_000: 50, 1_000_000: 150}
DRL_DEFAULT_LIMIT = 10_000
# Logarithmic attraction with classic gravity: the settings under which
# ForceAtlas2 separates communities at all (with linear attraction, even a
# start with every community in its own place melts into one disc).
LIN_LOG = {"lin_log": True, "strong_gravity": False}


@dataclass(frozen=True)
class Graph:
    name: str
    n_nodes: int
    edges: NDArray[np.uint32]
    community: NDArray[np.int64]


# ---- graphs ---------------------------------------------------------------


def planted_partition(n: int, seed: int = 1) -> Graph:
    """Balanced communities; each edge stays inside its source's community
    with probability INSIDE_SHARE, else goes to a node of another one."""
    communities = PLANTED_COMMUNITIES.get(n, max(2, round(n**0.5 / 5)))
    rng = np.random.default_rng(seed)
    community = rng.permutation(n).astype(np.int64) % communities
    members = np.argsort(community, kind="stable")
    size = np.bincount(community, minlength=communities)
    start = np.concatenate([[0], np.cumsum(size)])
    m = n * AVERAGE_DEGREE // 2
    sources = rng.integers(0, n, m)
    inside = rng.random(m) < INSIDE_SHARE
    own = community[sources]
    other = (own + rng.integers(1, communities, m)) % communities
    target_community = np.where(inside, own, other)
    offset = (rng.random(m) * size[target_community]).astype(np.int64)
    targets = members[start[target_community] + offset]
    keep = sources != targets
    edges = np.stack([sources[keep], targets[keep]], axis=1).astype(np.uint32)
    return Graph("planted", n, edges, community)


def lfr(n: int) -> Graph:
    """An LFR graph (mixing 0.3, average degree 10), generated once and cached."""
    path = CACHE / f"lfr-{n}.npz"
    if not path.exists():
        import networkx as nx

        biggest = 500 if n <= 10_000 else 1000 if n <= 100_000 else 5000
        graph = None
        for seed in range(5):  # the generator gives up on some seeds
            try:
                graph = nx.LFR_benchmark_graph(
                    n, 2.5, 1.5, 0.3, average_degree=10, max_degree=100,
                    min_community=50, max_community=biggest, seed=seed, max_iters=500,
                )  # fmt: skip
                break
            except nx.ExceededMaxIterations:
                continue
        if graph is None:
            raise SystemExit(f"networkx could not generate an LFR graph of {n} nodes")
        label: dict[frozenset[int], int] = {}
        community = np.array(
            [label.setdefault(frozenset(graph.nodes[v]["community"]), len(label)) for v in graph],
            dtype=np.int64,
        )
        edges = np.array([(u, v) for u, v in graph.edges() if u != v], dtype=np.uint32)
        CACHE.mkdir(parents=True, exist_ok=True)
        np.savez(path, edges=edges, community=community)
    data = np.load(path)
    return Graph("lfr", len(data["community"]), data["edges"], data["community"])


GRAPHS: dict[str, Callable[[int], Graph]] = {"planted": planted_partition, "lfr": lfr}


# ---- measures -------------------------------------------------------------


def community_share(pos: NDArray[np.float64], community: NDArray[np.int64]) -> float:
    """Share of nodes whose NEIGHBOURS nearest neighbours are mostly their own community."""
    from scipy.spatial import cKDTree  # type: ignore[import-untyped]

    _, index = cKDTree(pos).query(pos, k=NEIGHBOURS + 1)
    # Drop each node itself; where points coincide it may not come first.
    is_self = index == np.arange(len(pos))[:, None]
    drop = np.where(is_self.any(axis=1), np.argmax(is_self, axis=1), NEIGHBOURS)
    keep = np.ones_like(index, dtype=bool)
    keep[np.arange(len(pos)), drop] = False
    neighbours = index[keep].reshape(len(pos), NEIGHBOURS)
    same = (community[neighbours] == community[:, None]).sum(axis=1)
    return float(np.mean(same >= MAJORITY))


def normalized_edge_length(pos: NDArray[np.float64], edges: NDArray[np.uint32]) -> float:
    """Mean edge length over the mean distance of random node pairs."""
    rng = np.random.default_rng(12345)
    a = rng.integers(0, len(pos), RANDOM_PAIRS)
    b = rng.integers(0, len(pos), RANDOM_PAIRS)
    random_mean = np.linalg.norm(pos[a] - pos[b], axis=1).mean()
    edge_mean = np.linalg.norm(pos[edges[:, 0]] - pos[edges[:, 1]], axis=1).mean()
    return float(edge_mean / random_mean)


# ---- methods --------------------------------------------------------------


Method = Callable[[Graph], NDArray[np.float64]]


class IterationCount:
    """A progress callback that counts the iterations a run makes, of how many."""

    def __init__(self) -> None:
        self.done = 0
        self.budget = 0

    def __call__(self, _done: int, total: int) -> None:
        self.done += 1
        self.budget = total


def plain(
    iterations: int, tol: float = 0.0, count: IterationCount | None = None, **settings: Any
) -> Method:
    def run(graph: Graph) -> NDArray[np.float64]:
        from tallow_forceatlas2 import layout

        return layout(
            graph.edges, n_nodes=graph.n_nodes, iterations=iterations, threads=THREADS,
            seed=0, multilevel=False, tol=tol, progress=count or False, **settings,
        )  # fmt: skip

    return run


def multilevel(
    iterations: int | None = None,
    tol: float = 0.0,
    level_tol: float = 0.0,
    count: IterationCount | None = None,
    **chosen: Any,
) -> Method:
    def run(graph: Graph) -> NDArray[np.float64]:
        from tallow_forceatlas2.multilevel import multilevel_layout
        from tallow_forceatlas2.settings import kernel_settings

        settings = kernel_settings(graph.n_nodes, chosen)
        budget = {} if iterations is None else {"iterations": iterations}
        return multilevel_layout(
            graph.n_nodes, graph.edges, None, settings, seed=0, threads=THREADS,
            tol=tol, level_tol=level_tol, progress=count, **budget,
        )  # fmt: skip

    return run


def drl(graph: Graph) -> NDArray[np.float64]:
    import igraph

    random.seed(0)  # igraph draws from Python's generator
    g = igraph.Graph(n=graph.n_nodes, edges=graph.edges.tolist())
    return np.asarray(g.layout_drl().coords, dtype=np.float64)


def methods(n: int, with_drl: bool) -> dict[str, Method]:
    chosen: dict[str, Method] = {
        "plain-100": plain(100),
        "plain-300": plain(300),
        "plain-1000": plain(1000),
        "plain-linlog-1000": plain(1000, **LIN_LOG),
        "multilevel": multilevel(),
        "multilevel-linlog": multilevel(**LIN_LOG),
    }
    if with_drl or n <= DRL_DEFAULT_LIMIT:
        chosen["drl"] = drl
    return chosen


# ---- picture --------------------------------------------------------------


PICTURE_NODES = 100_000
PICTURE_PROBE_ITERATIONS = 20


def picture(path: Path) -> None:
    """Plain ForceAtlas2 beside the multilevel layout at equal time, coloured by community."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    graph = planted_partition(PICTURE_NODES)
    start = time.perf_counter()
    multi = multilevel(**LIN_LOG)(graph)
    multi_seconds = time.perf_counter() - start
    start = time.perf_counter()
    plain(PICTURE_PROBE_ITERATIONS)(graph)
    per_iteration = (time.perf_counter() - start) / PICTURE_PROBE_ITERATIONS
    iterations = max(1, round(multi_seconds / per_iteration))
    start = time.perf_counter()
    flat = plain(iterations)(graph)
    flat_seconds = time.perf_counter() - start
    colours = plt.get_cmap("hsv")(
        (graph.community * 17 % PLANTED_COMMUNITIES[PICTURE_NODES])
        / PLANTED_COMMUNITIES[PICTURE_NODES]
    )
    figure, axes = plt.subplots(1, 2, figsize=(10, 5.3), dpi=110)
    panels = [
        (flat, f"plain ForceAtlas2, {iterations} iterations, {flat_seconds:.1f} s"),
        (multi, f"multilevel start, {multi_seconds:.1f} s"),
    ]
    for ax, (pos, title) in zip(axes, panels):
        share = community_share(pos, graph.community)
        ax.scatter(pos[:, 0], pos[:, 1], s=0.05, c=colours, linewidths=0, rasterized=True)
        ax.set_title(f"{title}\ncommunity share {share:.2f}", fontsize=10)
        ax.set_aspect("equal")
        ax.axis("off")
    figure.suptitle(
        f"{PICTURE_NODES:,} nodes, {len(graph.edges):,} edges, "
        f"{PLANTED_COMMUNITIES[PICTURE_NODES]} planted communities (colours)",
        fontsize=11,
    )
    figure.tight_layout(rect=(0.0, 0.0, 1.0, 0.93))
    figure.savefig(path)
    print(f"wrote {path}: plain {iterations} iterations {flat_seconds:.1f} s, "
          f"multilevel {multi_seconds:.1f} s")  # fmt: skip


# ---- table ----------------------------------------------------------------


WIDTHS = (8, 9, 24, 8, 8, 6, 7, 7, 7)


def print_row(values: tuple[object, ...]) -> None:
    print("  ".join(str(v).rjust(w) for v, w in zip(values, WIDTHS)), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000", help="node counts, comma separated")
    parser.add_argument("--million", action="store_true", help="also 1,000,000 nodes (slow)")
    parser.add_argument("--drl", action="store_true", help="igraph DrL above 10,000 nodes too")
    parser.add_argument("--graphs", default="planted,lfr", help="planted and/or lfr")
    parser.add_argument("--methods", default="", help="method names to run (default: all)")
    parser.add_argument("--picture", type=Path, help="write the side-by-side picture here and stop")
    parser.add_argument(
        "--tol", default="", help="tolerances to compare with full runs, e.g. 0.001,0.01"
    )
    args = parser.parse_args()
    if args.picture is not None:
        picture(args.picture)
        return
    sizes = [int(s) for s in args.sizes.split(",") if s] + ([1_000_000] if args.million else [])
    wanted = [m for m in args.methods.split(",") if m]
    if args.tol:
        tolerances = [float(t) for t in args.tol.split(",")]
        tol_study(sizes, args.graphs.split(","), tolerances, wanted)
        return
    print_row(("graph", "nodes", "method", "seconds", "cpu-s", "share", "edgelen"))
    for n in sizes:
        for graph_name in args.graphs.split(","):
            graph = GRAPHS[graph_name](n)
            for name, method in methods(n, args.drl).items():
                if wanted and name not in wanted:
                    continue
                start, cpu_start = time.perf_counter(), time.process_time()
                pos = method(graph)
                seconds = time.perf_counter() - start
                cpu_seconds = time.process_time() - cpu_start
                share = community_share(pos, graph.community)
                edge_length = normalized_edge_length(pos, graph.edges)
                timing = (f"{seconds:.2f}", f"{cpu_seconds:.2f}")
                quality = (f"{share:.3f}", f"{edge_length:.3f}")
                print_row((graph.name, n, name, *timing, *quality))


# ---- tol study ------------------------------------------------------------


def tol_methods(n: int, tol: float, count: IterationCount) -> dict[str, Method]:
    """The default plain run, and the multilevel run with tol on the input
    graph only and on every level."""
    budget = 1000 if n < 100_000 else 300
    return {
        f"plain-{budget}": plain(budget, tol, count),
        "multilevel-linlog": multilevel(None, tol, 0.0, count, **LIN_LOG),
        "multilevel-linlog-levels": multilevel(None, tol, tol, count, **LIN_LOG),
    }


def tol_study(
    sizes: list[int], graph_names: list[str], tolerances: list[float], wanted: list[str]
) -> None:
    """Iterations run against the budget, and quality, with and without tol."""
    print_row(("graph", "nodes", "method", "tol", "iters", "seconds", "cpu-s", "share", "edgelen"))
    for n in sizes:
        for graph_name in graph_names:
            graph = GRAPHS[graph_name](n)
            for name in tol_methods(n, 0.0, IterationCount()):
                if wanted and name not in wanted:
                    continue
                for tol in [0.0, *tolerances]:
                    count = IterationCount()
                    method = tol_methods(n, tol, count)[name]
                    if tol == 0.0 and name.endswith("-levels"):
                        continue  # the same run as the one above
                    start, cpu_start = time.perf_counter(), time.process_time()
                    pos = method(graph)
                    seconds = time.perf_counter() - start
                    cpu_seconds = time.process_time() - cpu_start
                    print_row((
                        graph.name, n, name, f"{tol:g}", f"{count.done}/{count.budget}",
                        f"{seconds:.2f}", f"{cpu_seconds:.2f}",
                        f"{community_share(pos, graph.community):.3f}",
                        f"{normalized_edge_length(pos, graph.edges):.3f}",
                    ))  # fmt: skip


if __name__ == "__main__":
    sys.exit(main())
