"""Write a laid-out graph as GraphML with ``x``/``y`` node attributes.

The attribute names are the ones Gephi's and yEd's GraphML importers take as
coordinates, sizes and colours: ``x``, ``y``, ``size``, ``r``, ``g``, ``b``;
edges carry ``weight``, nodes a ``community`` when one is given.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import TextIO
from xml.sax.saxutils import escape, quoteattr

from tallow_forceatlas2.io.laid_out import LaidOutGraph, laid_out_graph
from tallow_forceatlas2.io.writers import coordinate_texts

__all__ = ["write_graphml", "write_graphml_graph"]

_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<graphml xmlns="http://graphml.graphdrawing.org/xmlns">
  <key id="x" for="node" attr.name="x" attr.type="double"/>
  <key id="y" for="node" attr.name="y" attr.type="double"/>
  <key id="size" for="node" attr.name="size" attr.type="double"/>
  <key id="r" for="node" attr.name="r" attr.type="int"/>
  <key id="g" for="node" attr.name="g" attr.type="int"/>
  <key id="b" for="node" attr.name="b" attr.type="int"/>
"""


def write_graphml(
    path: str | Path,
    graph: object,
    positions: object,
    *,
    communities: Sequence[Hashable] | None = None,
    sizes: object = None,
    weight: str | None = "weight",
) -> None:
    """Write a graph and its layout as GraphML with x/y node attributes.

    Parameters
    ----------
    path : str or Path
        The file to write.
    graph, positions, communities, sizes, weight
        As for :func:`tallow_forceatlas2.io.write_gexf`.

    Raises
    ------
    ValueError
        When ``positions``, ``communities`` or ``sizes`` do not match the graph.
    OSError
        When the file cannot be written.
    """
    laid_out = laid_out_graph(graph, positions, communities=communities, sizes=sizes, weight=weight)
    with Path(path).open("w", encoding="utf-8") as out:
        write_graphml_graph(out, laid_out)


def write_graphml_graph(out: TextIO, graph: LaidOutGraph) -> None:
    """Write a :class:`~tallow_forceatlas2.io.laid_out.LaidOutGraph` as GraphML text."""
    out.write(_HEAD)
    if graph.communities is not None:
        out.write('  <key id="community" for="node" attr.name="community" attr.type="string"/>\n')
    if graph.weights is not None:
        out.write('  <key id="weight" for="edge" attr.name="weight" attr.type="double"/>\n')
    out.write('  <graph edgedefault="undirected">\n')
    texts = coordinate_texts(graph.positions)
    for i, label in enumerate(graph.labels):
        x, y = texts[i]
        r, g, b = (int(c) for c in graph.colours[i])
        community = ""
        if graph.communities is not None:
            community = f'<data key="community">{escape(graph.communities[i])}</data>'
        out.write(
            f'    <node id={quoteattr(label)}><data key="x">{x}</data><data key="y">{y}</data>'
            f'<data key="size">{float(graph.sizes[i])!r}</data><data key="r">{r}</data>'
            f'<data key="g">{g}</data><data key="b">{b}</data>{community}</node>\n'
        )
    labels = graph.labels
    for k, (u, v) in enumerate(graph.edges.tolist()):
        data = ""
        if graph.weights is not None:
            data = f'<data key="weight">{float(graph.weights[k])!r}</data>'
        out.write(
            f"    <edge source={quoteattr(labels[u])} target={quoteattr(labels[v])}>{data}</edge>\n"
        )
    out.write("  </graph>\n</graphml>\n")
