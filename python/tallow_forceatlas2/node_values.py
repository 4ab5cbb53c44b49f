"""Per-node values a caller may give: sizes, masses and pinned nodes.

Each can be an array in node order, a mapping from node to value (nodes left
out keep their default), or, for networkx and igraph graphs, the name of a
node attribute (nodes without it keep their default). The kernel takes NaN
as "keep the default", so a partly given value costs nothing extra.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.caller_warnings import warn_caller
from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.inputs import GraphArrays
from tallow_forceatlas2.limits import MAX_NODE_MASS

__all__ = ["MAX_NODE_SIZE", "node_masses", "node_sizes", "pinned_nodes", "unplaced_pins"]

# Sizes are distances: kept within the range where start coordinates live
# (1e12), well inside float32, so that distances less sizes stay finite.
MAX_NODE_SIZE = 1e10


def _index_of(arrays: GraphArrays) -> Any:
    """node -> index: by label for labelled graphs, else by integer index."""
    if arrays.nodes is not None:
        index = {node: i for i, node in enumerate(arrays.nodes)}
        return index.get

    def by_number(node: object, default: int = -1) -> int:
        if isinstance(node, numbers.Integral) and not isinstance(node, bool):
            return int(node) if 0 <= int(node) < arrays.n_nodes else default
        return default

    return by_number


def _attribute(graph: Any, name: str, what: str) -> list[object]:
    """Each node's value of attribute `name` (None where it has none), in node order."""
    module = type(graph).__module__.split(".")[0]
    if module == "networkx":
        nodes = graph.nodes
        values = [data.get(name) for _, data in nodes(data=True)]
        found = {key for _, data in nodes(data=True) for key in data}
    elif module == "igraph":
        vertices = graph.vs
        found = set(vertices.attributes())
        values = list(vertices[name]) if name in found else [None] * len(vertices)
    else:
        raise TypeError(
            f"{what}={name!r} names a node attribute, which only networkx and igraph graphs "
            f"have; pass an array or a mapping from node to value instead"
        )
    if all(value is None for value in values) and values:
        known = ", ".join(sorted(map(str, found))) or "none"
        warn_caller(
            f"{what}={name!r}: no node has the attribute {name!r}, so every node keeps its "
            f"default (node attributes found: {known})",
        )
    return values


def _values(
    what: str, value: object, arrays: GraphArrays, graph: object
) -> NDArray[np.float64] | None:
    """The per-node numbers `value` stands for, NaN where a node keeps its default."""
    if value is None:
        return None
    n_nodes = arrays.n_nodes
    result = np.full(n_nodes, np.nan)
    if isinstance(value, str):
        entries: Iterable[tuple[int, object]] = enumerate(_attribute(graph, value, what))
    elif isinstance(value, Mapping):
        index_of = _index_of(arrays)
        listed = []
        for node, number in value.items():
            i = index_of(node, -1)
            if i < 0:
                raise ValueError(
                    f"{what} has a value for {echo(node)}, which is not a node of the graph"
                )
            listed.append((i, number))
        entries = listed
    else:
        try:
            array = np.asarray(value, dtype=np.float64)
        except (TypeError, ValueError, OverflowError) as exc:
            raise TypeError(
                f"{what} must be an array of numbers, a mapping from node to number, or a "
                f"node attribute name: {exc}"
            ) from exc
        if array.shape != (n_nodes,):
            raise ValueError(
                f"{what} must have shape ({n_nodes},), one value per node, not {array.shape}"
            )
        entries = enumerate(array.tolist())
    for i, number in entries:
        if number is None:
            continue
        if isinstance(number, bool) or not isinstance(number, numbers.Real):
            raise TypeError(f"{what} of node {_name(arrays, i)} is {echo(number)}, not a number")
        if math.isnan(number):
            raise ValueError(f"{what} of node {_name(arrays, i)} is NaN: give a number")
        result[i] = float(number)
    return result


def _name(arrays: GraphArrays, index: int) -> str:
    labels = arrays.labels
    return echo(labels[index]) if labels is not None else str(index)


def _check_range(
    what: str,
    values: NDArray[np.float64],
    arrays: GraphArrays,
    accepted: tuple[float, float],
    rule: str,
) -> None:
    low, high = accepted
    bad = ~np.isnan(values) & ~((values >= low) & (values <= high))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{what} of node {_name(arrays, i)} is {float(values[i])!r}: {rule}")


def node_sizes(value: object, arrays: GraphArrays, graph: object) -> NDArray[np.float64] | None:
    """Return each node's size (NaN: the default, 1), or None when none is given.

    Raises
    ------
    TypeError, ValueError
        For values that are not numbers, a wrong length, unknown nodes, or a
        size outside 0 to 1e10.
    """
    sizes = _values("node_size", value, arrays, graph)
    if sizes is not None:
        _check_range(
            "node_size", sizes, arrays, (0.0, MAX_NODE_SIZE), "a size must be between 0 and 1e10"
        )
    return sizes


def node_masses(value: object, arrays: GraphArrays, graph: object) -> NDArray[np.float64] | None:
    """Return each node's mass (NaN: the default, 1 + the sum of its edge weights).

    Raises
    ------
    TypeError, ValueError
        For values that are not numbers, a wrong length, unknown nodes, or a
        mass that is not above 0 and at most 1e10 (heavier nodes make the
        float32 forces overflow).
    """
    masses = _values("node_mass", value, arrays, graph)
    if masses is not None:
        # The smallest positive float32: a smaller mass would be stored as 0.
        lightest = float(np.finfo(np.float32).tiny)
        _check_range(
            "node_mass",
            masses,
            arrays,
            (lightest, MAX_NODE_MASS),
            "a mass must be from 1.2e-38 to 1e10 (heavier nodes overflow the float32 forces)",
        )
    return masses


def pinned_nodes(value: object, arrays: GraphArrays, graph: object) -> NDArray[np.bool_] | None:
    """Return which nodes are pinned, or None when ``fixed`` is not given.

    ``value`` is a boolean array in node order, a mapping from node to a
    truth value, a node attribute name, or any other collection of nodes
    (a set of labels, or of indices for graphs without labels).

    Raises
    ------
    TypeError, ValueError
        For a boolean array of the wrong length or nodes not in the graph.
    """
    if value is None:
        return None
    n_nodes = arrays.n_nodes
    if isinstance(value, str):
        flags = _attribute(graph, value, "fixed")
        return np.array([bool(flag) for flag in flags], dtype=bool).reshape(n_nodes)
    if isinstance(value, np.ndarray) and value.dtype == np.bool_:
        if value.shape != (n_nodes,):
            raise ValueError(
                f"fixed must have shape ({n_nodes},), one flag per node, not {value.shape}"
            )
        return value.copy()
    if isinstance(value, Mapping):
        chosen: Iterable[object] = [node for node, flag in value.items() if flag]
        listed: Sequence[object] = list(value)
    elif isinstance(value, Iterable):
        chosen = listed = list(value)
    else:
        raise TypeError(
            f"fixed must be a collection of nodes, a boolean array, a mapping or a node "
            f"attribute name, not {type(value).__name__}"
        )
    index_of = _index_of(arrays)
    pinned = np.zeros(n_nodes, dtype=bool)
    for node in listed:
        if index_of(node, -1) < 0:
            raise ValueError(f"fixed names {echo(node)}, which is not a node of the graph")
    for node in chosen:
        pinned[index_of(node, -1)] = True
    return pinned


def unplaced_pins(pinned: NDArray[np.bool_], given: NDArray[np.bool_], arrays: GraphArrays) -> None:
    """Raise if a pinned node has no start position of the caller's."""
    lost = pinned & ~given
    if lost.any():
        i = int(np.argmax(lost))
        raise ValueError(
            f"node {_name(arrays, i)} is fixed but has no position in pos: a fixed node stays "
            f"where it starts, so give its position"
        )
