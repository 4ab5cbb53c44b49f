"""Layout quality benchmark, second edition: does the picture tell the truth about the graph?

Graph families (quality_graphs.py), each made from a fixed seed: grids
(100x100; 316x316 with --large), random geometric graphs in the unit square
(20k; 100k), a Delaunay mesh of 20k random points, a binary tree of depth 14
and a random recursive tree of 20k nodes, planted-partition and LFR
community graphs (10k; 100k, mixing 0.3), Erdos-Renyi (20k, degree 8) and
Barabasi-Albert (20k, m = 4) graphs, the k=15 nearest-neighbour graphs of
10,000 points in 20 separated Gaussian clusters in 2 and in 20 dimensions,
and the real networks bundled with networkx (karate club, Les Miserables,
Florentine families, Davis southern women). Slow generators (LFR) are cached
under build/quality-cache.

Measures (quality_measures.py, each defined in its docstring), columns:
- NP: neighbourhood preservation, picture neighbours against the BFS ball (1 best);
- stress: normalized stress on sampled pairs, weights 1/d^2, best scale (0 best);
- truth: Spearman of true against drawn distances, where the geometry is known;
- comm: community share, nodes with >= 6 of their 10 picture neighbours in
  their own community, where communities are known;
- clump: median nearest-neighbour distance over that of an even spread on the
  hull, both of the largest component (a lattice is 1; knots score low);
  /plain: the same over the plain run's;
- whole: connected components of >= 50 nodes drawn as one piece, of how many;
- branch: binary tree only, the worst depth-3 branch's in-branch over
  cross-branch mean distance (<= 0.5: every branch in a region of its own);
- wall, cpu: seconds of the layout call alone (cpu counts all threads).

Methods (quality_methods.py): default = ``layout(edges)`` as it is on the
checked-out branch; clustered = ``multilevel=True, lin_log=True``; faithful =
``multilevel=True, lin_log=False``; plain = ``multilevel=False``; fmmm = OGDF's
FMMM (ogdf-py); drl = igraph's DrL. Each ``--ours-kw`` adds a method running
``layout(edges, **those keywords)``, named ``ours[...]``.

usage: python benchmarks/quality_families.py [--graphs grid100,tree14,rgg:50000]
           [--methods default,fmmm] [--ours-kw picture=faithful] [--large] [--csv out.csv]
       python benchmarks/quality_families.py --gallery docs/gallery.png [--gallery-layouts F.npz]
(--large: also grid316, rgg100k, planted100k, lfr100k; the first LFR 100k run
generates it, which takes long. --gallery: panels of grid, tree, geometric,
community, kNN graph and a real network for default, fmmm and plain, or the
--methods given, then stop; --gallery-layouts keeps the layouts in an .npz file
and reuses those found there, to redraw without rerunning.)
Needs the package installed, scipy, networkx and matplotlib; ogdf-py and
igraph for the peers. All our runs use 2 threads and seed 0.
"""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path

import numpy as np
from quality_graphs import DEFAULT_GRAPHS, LARGE_GRAPHS, Graph, make_graph, resolve
from quality_measures import (
    adjacency,
    branch_separation,
    clumping,
    community_share,
    neighbourhood_preservation,
    one_piece,
    stress,
    truth_spearman,
)
from quality_methods import METHODS, Method, Run, ours, parse_keywords
from tallow_forceatlas2 import layout

__all__ = ["main", "measure"]

COLUMNS = (
    ("graph", 11), ("nodes", 6), ("method", 0), ("wall", 6), ("cpu", 6), ("NP", 5),
    ("stress", 6), ("truth", 5), ("comm", 5), ("clump", 5), ("/plain", 6), ("whole", 5),
    ("branch", 6),
)  # fmt: skip
DEFAULT_METHODS = ("default", "clustered", "faithful", "plain", "fmmm", "drl")
NONE = "-"


def measure(graph: Graph, run: Run) -> dict[str, str]:
    """Every measure of one picture, formatted for the table (NONE where a
    measure does not apply to the graph)."""
    pos, links = run.pos, adjacency(graph.n_nodes, graph.edges)
    whole, components = one_piece(pos, links)
    return {
        "graph": graph.name,
        "nodes": str(graph.n_nodes),
        "wall": f"{run.wall:.2f}",
        "cpu": f"{run.cpu:.2f}",
        "NP": f"{neighbourhood_preservation(pos, links):.3f}",
        "stress": f"{stress(pos, links):.3f}",
        "truth": NONE if graph.truth is None else f"{truth_spearman(pos, graph.truth):.3f}",
        "comm": NONE if graph.community is None else f"{community_share(pos, graph.community):.3f}",
        "clump": f"{clumping(pos, links):.3f}",
        "/plain": NONE,
        "whole": f"{whole}/{components}" if components else NONE,
        "branch": NONE if graph.branch is None else f"{branch_separation(pos, graph.branch):.3f}",
    }


def print_row(row: dict[str, str], method_width: int) -> None:
    widths = [method_width if name == "method" else width for name, width in COLUMNS]
    cells = (row.get(name, NONE).rjust(width) for (name, _), width in zip(COLUMNS, widths))
    print("  ".join(cells), flush=True)


def choose_methods(names: list[str], extra: list[str]) -> dict[str, Method]:
    """The methods asked for, plain first (the clumping of the others is
    given relative to it), then one per --ours-kw."""
    unknown = [n for n in names if n not in METHODS]
    if unknown:
        raise ValueError(f"unknown method {unknown[0]!r}; known: {', '.join(METHODS)}")
    chosen = {n: METHODS[n] for n in sorted(names, key=lambda n: n != "plain")}
    for text in extra:
        keywords = parse_keywords(text)
        try:  # a keyword this branch's layout() lacks fails here, not after an hour
            layout(np.array([[0, 1]]), **{**keywords, "iterations": 0})
        except (TypeError, ValueError) as error:
            raise ValueError(f"--ours-kw {text}: {error}") from None
        chosen[f"ours[{text}]"] = ours(**keywords)
    return chosen


def bench(
    graph_names: list[str], methods: dict[str, Method], order: list[str]
) -> list[dict[str, str]]:
    """Run and measure every method on every graph; print one block per graph."""
    rows = []
    for wanted in graph_names:
        graph = make_graph(wanted)
        block = {}
        for name, method in methods.items():
            print(f"  {graph.name} {name} ...", file=sys.stderr, flush=True)
            block[name] = {**measure(graph, method(graph)), "method": name}
        if "plain" in block:
            base = float(block["plain"]["clump"])
            for row in block.values():
                row["/plain"] = f"{float(row['clump']) / base:.2f}" if base > 0 else NONE
        for name in order:
            print_row(block[name], max(map(len, order)))
            rows.append(block[name])
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="quality_families.py", description=__doc__.splitlines()[0] if __doc__ else None
    )
    parser.add_argument(
        "--graphs", help="graphs, comma separated (presets, real names, family:size)"
    )
    parser.add_argument("--large", action="store_true", help="also the 100k-node graphs")
    parser.add_argument(
        "--methods", help=f"methods, comma separated (default: {','.join(DEFAULT_METHODS)})"
    )
    parser.add_argument("--ours-kw", action="append", default=[], metavar="NAME=VALUE,...",
                        help="add a run of ours with these keywords (repeatable)")  # fmt: skip
    parser.add_argument("--csv", type=Path, help="also write the table to this CSV file")
    parser.add_argument("--gallery", type=Path, help="write the picture gallery here and stop")
    parser.add_argument(
        "--gallery-layouts",
        type=Path,
        help="keep the gallery's layouts in this .npz and reuse them",
    )
    args = parser.parse_args(argv)
    try:
        names = args.methods.split(",") if args.methods else list(DEFAULT_METHODS)
        methods = choose_methods([n for n in names if n], args.ours_kw)
        if args.gallery is not None:
            from quality_gallery import gallery

            gallery(args.gallery, methods if args.methods or args.ours_kw else None,
                    args.gallery_layouts)  # fmt: skip
            return 0
        graphs = args.graphs.split(",") if args.graphs else [*DEFAULT_GRAPHS]
        graphs += [*LARGE_GRAPHS] if args.large else []
        graphs = [g for g in graphs if g]
        for wanted in graphs:
            resolve(wanted)  # a misspelt name fails before the first long run
    except ValueError as error:
        print(f"quality_families.py: {error}", file=sys.stderr)
        return 2
    order = [n for n in names if n] + [f"ours[{t}]" for t in args.ours_kw]
    print_row({name: name for name, _ in COLUMNS}, max(map(len, order)))
    rows = bench(graphs, methods, order)
    if args.csv is not None:
        with args.csv.open("w", newline="") as out:
            writer = csv.DictWriter(out, fieldnames=[name for name, _ in COLUMNS])
            writer.writeheader()
            writer.writerows(rows)
    return 0


if __name__ == "__main__":
    np.seterr(all="ignore")
    sys.exit(main())
