"""Read start positions for ``--pos``: a node,x,y table or a laid-out graph file.

A graph file (GEXF, GraphML, GML) gives the positions it holds, matched to
the graph's nodes by name; so a layout saved for Gephi, or edited there,
continues from where it stands.
"""

from __future__ import annotations

import math
import warnings
from pathlib import Path

from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.io.readers import GRAPH_FORMATS, InputError, read_graph
from tallow_forceatlas2.node_table import NodeTable, read_node_table

__all__ = ["POSITION_GRAPH_FORMATS", "read_start_positions"]

# Graph files that can hold positions.
POSITION_GRAPH_FORMATS = (".gexf", ".graphml", ".gml")


def read_start_positions(
    path: Path, nodes: list[str], *, delimiter: str | None = None
) -> NodeTable:
    """Read the start positions of the nodes named ``nodes``.

    Parameters
    ----------
    path : Path
        A ``.gexf``/``.graphml``/``.gml`` file holding positions, or a node
        table with ``x`` and ``y`` columns.
    nodes : list of str
        The graph's node names.
    delimiter : str, optional
        Field separator of a table.

    Returns
    -------
    NodeTable
        Its ``position`` and ``unknown``; for a table, also any other columns.

    Raises
    ------
    InputError
        For a graph file without positions, and the table's mistakes.
    """
    if path.suffix.lower() not in GRAPH_FORMATS:
        return read_node_table(path, nodes, delimiter=delimiter, need_positions=True)
    if path.suffix.lower() not in POSITION_GRAPH_FORMATS:
        raise InputError(
            path, None, "holds no positions: give a .gexf, .graphml or .gml file, or a table"
        )
    with warnings.catch_warnings():
        # The file is most often the graph itself, whose reading said them already.
        warnings.simplefilter("ignore")
        given = read_graph(path, weight=None)
    if not given.positions:
        raise InputError(
            path,
            None,
            "holds no node positions (GEXF viz:position, GraphML x and y attributes)",
        )
    index = {node: i for i, node in enumerate(nodes)}
    table = NodeTable()
    for k, point in given.positions.items():
        if not all(map(math.isfinite, point)):
            raise InputError(
                path, None, f"node {echo(given.nodes[k])} has a position that is not two numbers"
            )
        i = index.get(given.nodes[k])
        if i is None:
            table.unknown.append(given.nodes[k])
        else:
            table.position[i] = point
    return table
