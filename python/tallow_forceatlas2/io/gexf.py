"""Write a laid-out graph as GEXF, which Gephi opens with the layout in place.

Nodes carry ``viz:position``, ``viz:size`` and ``viz:color`` (GEXF 1.2's
visualisation module) and, when given, a ``community`` attribute; edges carry
their weights. Coordinates are written as the shortest text that reads back to
the same float32, the precision the layout has.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import TextIO
from xml.sax.saxutils import quoteattr

from tallow_forceatlas2.io.laid_out import LaidOutGraph, laid_out_graph
from tallow_forceatlas2.io.writers import coordinate_texts

__all__ = ["write_gexf", "write_gexf_graph"]

_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<gexf xmlns="http://www.gexf.net/1.2draft" xmlns:viz="http://www.gexf.net/1.2draft/viz" \
version="1.2">
  <meta><creator>tallow_forceatlas2</creator></meta>
  <graph defaultedgetype="undirected" mode="static">
"""
_COMMUNITY_ATTRIBUTE = """    <attributes class="node">
      <attribute id="community" title="community" type="string"/>
    </attributes>
"""


def write_gexf(
    path: str | Path,
    graph: object,
    positions: object,
    *,
    communities: Sequence[Hashable] | None = None,
    sizes: object = None,
    weight: str | None = "weight",
) -> None:
    """Write a graph and its layout as a GEXF file for Gephi.

    Parameters
    ----------
    path : str or Path
        The file to write.
    graph : any graph :func:`tallow_forceatlas2.layout` takes
        The graph that was laid out.
    positions : array_like of shape (n, 2), or mapping
        ``layout(graph)``'s result, or ``forceatlas2_layout(graph)``'s (a
        mapping from every node to ``(x, y)``).
    communities : sequence, optional
        A community per node: a ``community`` attribute and the node colours
        (else colours follow the degree); the colours are those of the
        pictures ``tallow-fa2 -o picture.png`` draws.
    sizes : array_like of shape (n,), optional
        Node sizes; default: ``1 + sqrt(degree)``.
    weight : str or None, default "weight"
        As for ``layout``: the edge weights written.

    Raises
    ------
    ValueError
        When ``positions``, ``communities`` or ``sizes`` do not match the graph.
    OSError
        When the file cannot be written.

    Examples
    --------
    >>> import networkx as nx
    >>> from tallow_forceatlas2 import forceatlas2_layout, layout
    >>> from tallow_forceatlas2.io import write_gexf
    >>> G = nx.karate_club_graph()
    >>> write_gexf("karate.gexf", G, layout(G))  # doctest: +SKIP
    >>> write_gexf("karate.gexf", G, forceatlas2_layout(G))  # doctest: +SKIP
    """
    laid_out = laid_out_graph(graph, positions, communities=communities, sizes=sizes, weight=weight)
    with Path(path).open("w", encoding="utf-8") as out:
        write_gexf_graph(out, laid_out)


def write_gexf_graph(out: TextIO, graph: LaidOutGraph) -> None:
    """Write a :class:`~tallow_forceatlas2.io.laid_out.LaidOutGraph` as GEXF text."""
    out.write(_HEAD)
    if graph.communities is not None:
        out.write(_COMMUNITY_ATTRIBUTE)
    out.write("    <nodes>\n")
    texts = coordinate_texts(graph.positions)
    for i, label in enumerate(graph.labels):
        ident = quoteattr(label)
        out.write(f"      <node id={ident} label={ident}>")
        if graph.communities is not None:
            value = quoteattr(graph.communities[i])
            out.write(f'<attvalues><attvalue for="community" value={value}/></attvalues>')
        r, g, b = (int(c) for c in graph.colours[i])
        x, y = texts[i]
        out.write(
            f'<viz:size value="{float(graph.sizes[i])!r}"/>'
            f'<viz:position x="{x}" y="{y}" z="0.0"/>'
            f'<viz:color r="{r}" g="{g}" b="{b}"/></node>\n'
        )
    out.write("    </nodes>\n    <edges>\n")
    labels = graph.labels
    for k, (u, v) in enumerate(graph.edges.tolist()):
        weight = "" if graph.weights is None else f' weight="{float(graph.weights[k])!r}"'
        out.write(
            f'      <edge id="{k}" source={quoteattr(labels[u])} '
            f"target={quoteattr(labels[v])}{weight}/>\n"
        )
    out.write("    </edges>\n  </graph>\n</gexf>\n")
