"""Layout methods of the quality benchmark: ours with several settings, and peers.

Each method takes a Graph and returns a Run: the positions and the wall and
CPU seconds of the layout call alone (building a peer's graph object is left
out). CPU seconds count every thread of this process.
"""

from __future__ import annotations

import ast
import random
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray
from quality_graphs import Graph
from tallow_forceatlas2 import layout

__all__ = ["METHODS", "Method", "Run", "ours", "parse_keywords"]

THREADS = 2
SEED = 0


@dataclass(frozen=True)
class Run:
    pos: NDArray[np.float64]
    wall: float
    cpu: float


Method = Callable[[Graph], Run]


def _timed(call: Callable[[], Any]) -> tuple[Any, float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    result = call()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def ours(**keywords: Any) -> Method:
    """``tallow_forceatlas2.layout(edges, **keywords)`` on THREADS threads, seed 0."""

    def run(graph: Graph) -> Run:
        pos, wall, cpu = _timed(
            lambda: layout(graph.edges, n_nodes=graph.n_nodes, seed=SEED, threads=THREADS,
                           **keywords)
        )  # fmt: skip
        return Run(np.asarray(pos, dtype=np.float64), wall, cpu)

    return run


def fmmm(graph: Graph) -> Run:
    """OGDF's FMMM (fast multipole multilevel method) through ogdf-py, its
    default options, OGDF's random engine seeded; single-threaded."""
    import ogdf  # type: ignore[import-untyped]

    g = ogdf.Graph()
    nodes = [g.new_node() for _ in range(graph.n_nodes)]
    for u, v in graph.edges.tolist():
        g.new_edge(nodes[u], nodes[v])
    attributes, wall, cpu = _timed(lambda: ogdf.layout(g, ogdf.FMMMLayout, seed=SEED + 1))
    pos = np.array([(attributes.x(v), attributes.y(v)) for v in nodes], dtype=np.float64)
    return Run(pos, wall, cpu)


def drl(graph: Graph) -> Run:
    """igraph's DrL with its default options; single-threaded."""
    import igraph  # type: ignore[import-untyped]

    random.seed(SEED)  # igraph draws from Python's generator
    g = igraph.Graph(n=graph.n_nodes, edges=graph.edges.tolist())
    layout, wall, cpu = _timed(g.layout_drl)
    return Run(np.asarray(layout.coords, dtype=np.float64), wall, cpu)


METHODS: dict[str, Method] = {
    "default": ours(),
    "clustered": ours(multilevel=True, lin_log=True),
    "faithful": ours(multilevel=True, lin_log=False),
    "plain": ours(multilevel=False),
    "fmmm": fmmm,
    "drl": drl,
}


def parse_keywords(text: str) -> dict[str, Any]:
    """``"picture=faithful,iterations=500"`` as keywords: Python literals
    where the value is one (numbers, True, None, quoted strings), else the
    bare word as a string. ValueError for an item without ``=``."""
    keywords: dict[str, Any] = {}
    for item in filter(None, text.split(",")):
        name, equals, value = item.partition("=")
        if not equals or not name.isidentifier():
            raise ValueError(f"--ours-kw wants name=value items, got {item!r}")
        try:
            keywords[name] = ast.literal_eval(value)
        except (ValueError, SyntaxError):
            keywords[name] = value
    return keywords
