"""What the nodes of a graph file carry: names, communities and positions.

GEXF files name nodes twice: by an id (Gephi writes numbers) and by a label
(the name the user knows), so nodes are named by their labels when every
label is distinct. GEXF declares attributes with an id (``modularity_class``)
and a title (``Modularity Class``), either of which names a community
attribute. Positions are GEXF's ``viz:position``, GraphML's ``x`` and ``y``
attributes (as Gephi and yEd write them), and GML's ``graphics`` x and y.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any
from xml.etree import ElementTree

from tallow_forceatlas2.echo import echo

__all__ = ["gexf_attribute_titles", "node_communities", "node_names", "node_positions"]

# How many attribute names a warning lists.
_LISTED = 10


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def gexf_attribute_titles(path: Path) -> dict[str, str]:
    """Return the node attributes a GEXF file declares, as ``{id: title}``.

    The declarations come before the nodes, so only the file's head is read.
    """
    titles: dict[str, str] = {}
    node_class = False
    try:
        with path.open("rb") as handle:
            for _, element in ElementTree.iterparse(handle, events=("start",)):
                tag = _local(element.tag)
                if tag == "attributes":
                    node_class = element.get("class", "node") == "node"
                elif tag == "attribute" and node_class and element.get("id") is not None:
                    ident = str(element.get("id"))
                    titles[ident] = element.get("title") or ident
                elif tag in ("nodes", "edges"):
                    break
    except (OSError, ElementTree.ParseError):
        pass  # the graph was read: a fault after the declarations is not ours to report
    return titles


def _node_data(graph: Any) -> Iterator[tuple[object, Mapping[str, object]]]:
    for node in graph:
        yield node, graph.nodes[node]


def node_names(path: Path, graph: Any) -> list[str]:
    """Name each node, in the graph's order: a GEXF file's labels when distinct, else ids."""
    ids = [str(node) for node in graph]
    if path.suffix.lower() != ".gexf":
        return ids
    labels = [str(data.get("label", node)) for node, data in _node_data(graph)]
    if labels == ids:
        return ids
    seen: set[str] = set()
    for label in labels:
        if label in seen:
            warnings.warn(
                f"{path}: node labels repeat (first: {echo(label)}), so nodes are named by "
                "their ids",
                UserWarning,
                stacklevel=2,
            )
            return ids
        seen.add(label)
    return labels


def node_communities(path: Path, graph: Any, attribute: str) -> list[str]:
    """Each node's value of ``attribute`` (a GEXF attribute's id or title) as text.

    Nodes without the attribute get ``""``; when no node has it, a warning
    lists the attributes the nodes do have.
    """
    present: dict[str, None] = {}
    for _, data in _node_data(graph):
        present.update(dict.fromkeys(str(key) for key in data if key not in ("viz", "label")))
    titles = gexf_attribute_titles(path) if path.suffix.lower() == ".gexf" else {}
    name = titles.get(attribute, attribute) if attribute not in present else attribute
    if name not in present:
        _warn_unknown(path, attribute, present, titles)
    return [str(data.get(name, "")) for _, data in _node_data(graph)]


def _warn_unknown(
    path: Path, attribute: str, present: Mapping[str, None], titles: Mapping[str, str]
) -> None:
    by_title = {title: ident for ident, title in titles.items()}
    names = [
        f"{echo(by_title[name])} ({echo(name)})"
        if name in by_title and by_title[name] != name
        else echo(name)
        for name in present
    ]
    listing = ", ".join(names[:_LISTED]) + (" ..." if len(names) > _LISTED else "")
    have = f"the nodes have {listing}" if names else "the nodes have no attributes"
    warnings.warn(
        f"{path}: no node has the attribute {echo(attribute)}, so no node has a community; {have}",
        UserWarning,
        stacklevel=2,
    )


def _coordinate(value: object) -> float:
    if isinstance(value, bool):
        return math.nan
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return math.nan


def _point(data: Mapping[str, object]) -> tuple[object, object] | None:
    viz = data.get("viz")
    if isinstance(viz, Mapping) and isinstance(viz.get("position"), Mapping):
        position = viz["position"]
        return position.get("x"), position.get("y")
    graphics = data.get("graphics")
    if isinstance(graphics, Mapping) and "x" in graphics and "y" in graphics:
        return graphics["x"], graphics["y"]
    if "x" in data and "y" in data:
        return data["x"], data["y"]
    return None


def node_positions(graph: Any) -> dict[int, tuple[float, float]]:
    """The positions the file gives, by node index (nodes without one are left out).

    A coordinate that is not a number is NaN: the graph reads as well
    without its positions, and only a reader of the positions refuses it.
    """
    positions: dict[int, tuple[float, float]] = {}
    for i, (_, data) in enumerate(_node_data(graph)):
        point = _point(data)
        if point is not None:
            positions[i] = (_coordinate(point[0]), _coordinate(point[1]))
    return positions
