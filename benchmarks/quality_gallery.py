"""The quality benchmark's picture gallery: one row per family, one column per method.

Nodes are coloured by what is known about them: communities and point-cloud
clusters by their label, the binary tree by its depth-3 branch, meshes and
geometric graphs by their true x coordinate (a faithful picture shows a
smooth colour ramp), the rest plainly. Edges are drawn thin and faint.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
from numpy.typing import NDArray
from quality_graphs import Graph, make_graph
from quality_measures import adjacency, neighbourhood_preservation
from quality_methods import METHODS, Method

__all__ = ["GALLERY_GRAPHS", "gallery"]

GALLERY_GRAPHS = ("grid100", "tree14", "rgg20k", "planted10k", "knn2d", "lesmis")
GALLERY_METHODS = ("default", "fmmm", "plain")
PANEL_INCHES = 2.4
DPI = 100
MAX_EDGES = 30_000
COLOURS = 256  # the PNG is stored with a palette of this many colours


def _colours(graph: Graph) -> NDArray[np.float64]:
    import matplotlib.pyplot as plt

    if graph.community is not None:
        labels = graph.community
        return np.asarray(plt.get_cmap("tab20")(labels * 7 % 20 / 20), dtype=np.float64)
    if graph.branch is not None:
        shade = np.where(graph.branch >= 0, graph.branch, 8) / 9
        return np.asarray(plt.get_cmap("tab10")(shade), dtype=np.float64)
    if graph.truth is not None:
        x = graph.truth[:, 0]
        return np.asarray(plt.get_cmap("viridis")((x - x.min()) / np.ptp(x)), dtype=np.float64)
    return np.asarray(plt.get_cmap("tab10")(np.zeros(graph.n_nodes)), dtype=np.float64)


def _panel(ax: object, graph: Graph, pos: NDArray[np.float64], title: str) -> None:
    from matplotlib.collections import LineCollection

    rng = np.random.default_rng(0)
    edges = graph.edges
    if len(edges) > MAX_EDGES:  # a sample gives the same impression in a smaller file
        edges = edges[rng.choice(len(edges), MAX_EDGES, replace=False)]
    small = graph.n_nodes < 1000
    lines = LineCollection(
        pos[edges],  # type: ignore[arg-type]
        linewidths=0.4 if small else 0.1,
        colors="0.5",
        alpha=0.6 if small else 0.25,
        rasterized=True,
    )
    ax.add_collection(lines)  # type: ignore[attr-defined]
    ax.scatter(  # type: ignore[attr-defined]
        pos[:, 0], pos[:, 1], s=6 if small else 0.5, c=_colours(graph), linewidths=0,
        rasterized=True, zorder=2,
    )  # fmt: skip
    ax.set_title(title, fontsize=7)  # type: ignore[attr-defined]
    ax.set_aspect("equal")  # type: ignore[attr-defined]
    ax.autoscale_view()  # type: ignore[attr-defined]
    ax.set_xticks([])  # type: ignore[attr-defined]
    ax.set_yticks([])  # type: ignore[attr-defined]


def _layouts(
    graph: Graph, methods: dict[str, Method], reuse: Path | None
) -> dict[str, tuple[NDArray[np.float64], float]]:
    """Each method's positions and CPU seconds on the graph; with ``reuse``,
    read from and added to that .npz file (to redraw without rerunning)."""
    stored: dict[str, NDArray[np.float64]] = (
        dict(np.load(reuse)) if reuse and reuse.exists() else {}
    )
    result = {}
    for name, method in methods.items():
        key = f"{graph.name}__{name}"
        if key not in stored:
            run = method(graph)
            stored[key], stored[key + "__cpu"] = run.pos, np.array(run.cpu)
            print(f"  gallery {key}: {run.wall:.2f} s wall, {run.cpu:.2f} s CPU", flush=True)
        result[name] = (stored[key], float(stored[key + "__cpu"]))
    if reuse is not None:
        np.savez(reuse, **stored)
    return result


def _save_with_palette(figure: object, path: Path) -> None:
    """PNG with a palette: a quarter of the bytes of full colour, the same look."""
    import io

    from PIL import Image

    buffer = io.BytesIO()
    figure.savefig(buffer, dpi=DPI, format="png")  # type: ignore[attr-defined]
    buffer.seek(0)
    image = Image.open(buffer).convert("RGB").quantize(COLOURS)
    image.save(path, optimize=True)


def gallery(
    path: Path, methods: dict[str, Method] | None = None, reuse: Path | None = None
) -> None:
    """Lay out every gallery graph with every method and write the grid of
    panels, each titled with its method, CPU seconds and neighbourhood
    preservation (NP)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    chosen = methods or {name: METHODS[name] for name in GALLERY_METHODS}
    rows, cols = len(GALLERY_GRAPHS), len(chosen)
    figure, axes = plt.subplots(
        rows, cols, figsize=(PANEL_INCHES * cols, PANEL_INCHES * rows), dpi=DPI, squeeze=False
    )
    for r, wanted in enumerate(GALLERY_GRAPHS):
        graph = make_graph(wanted)
        links = adjacency(graph.n_nodes, graph.edges)
        for c, (name, (pos, cpu)) in enumerate(_layouts(graph, chosen, reuse).items()):
            np_score = neighbourhood_preservation(pos, links)
            _panel(axes[r, c], graph, pos, f"{name}: {cpu:.2g} CPU s, NP {np_score:.2f}")
        axes[r, 0].set_ylabel(f"{graph.name}\n{graph.n_nodes:,} nodes", fontsize=8)
    figure.tight_layout(pad=0.4)
    _save_with_palette(figure, path)
    plt.close(figure)
    print(f"wrote {path} ({path.stat().st_size // 1024} KB)")
