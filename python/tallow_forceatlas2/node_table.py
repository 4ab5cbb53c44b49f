"""Read a node table: per-node sizes, masses, start positions and pins.

A delimited text file (``.csv``, ``.tsv``, or whitespace separated) whose
first line names its columns: the node id first (any name), then any of
``size``, ``mass``, ``x``, ``y`` and ``fixed``. An empty field leaves that
value at its default. The positions the command line writes (``node,x,y``)
are such a table, so a previous layout can be read back as start positions.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.io.readers import InputError, delimiter_for, table_rows

__all__ = ["NodeTable", "read_node_table"]

COLUMNS = ("size", "mass", "x", "y", "fixed")
_TRUE = {"1", "true", "yes", "y", "t"}
_FALSE = {"0", "false", "no", "n", "f"}


@dataclass
class NodeTable:
    """What a node table gives, keyed by node index.

    Attributes
    ----------
    size, mass : dict of int to float
        Per-node values from those columns.
    position : dict of int to (float, float)
        Start positions, from rows with both ``x`` and ``y``.
    fixed : set of int
        Nodes whose ``fixed`` field is true.
    unknown : list of str
        Ids in the table that are not nodes of the graph (their rows are skipped).
    """

    size: dict[int, float] = field(default_factory=dict)
    mass: dict[int, float] = field(default_factory=dict)
    position: dict[int, tuple[float, float]] = field(default_factory=dict)
    fixed: set[int] = field(default_factory=set)
    unknown: list[str] = field(default_factory=list)


def _columns(path: Path, line: int, names: list[str], need_positions: bool) -> list[str]:
    columns = [name.strip().lower() for name in names[1:]]
    for k, name in enumerate(columns):
        if name not in COLUMNS:
            raise InputError(
                path,
                line,
                f"unknown column {echo(name)}: a node table has the node id first, then any of "
                f"{', '.join(COLUMNS)}",
            )
        if name in columns[:k]:
            raise InputError(path, line, f"column {name!r} appears twice")
    if ("x" in columns) != ("y" in columns):
        have, lack = ("an x", "y") if "x" in columns else ("a y", "x")
        raise InputError(path, line, f"has {have} column but no {lack} column: positions need both")
    if need_positions and "x" not in columns:
        raise InputError(
            path, line, "has no x and y columns: start positions are a table of node,x,y"
        )
    return columns


def _value(path: Path, line: int, column: str, text: str) -> float | bool | None:
    text = text.strip()
    if not text:
        return None
    if column == "fixed":
        if text.lower() in _TRUE | _FALSE:
            return text.lower() in _TRUE
        raise InputError(path, line, f"fixed must be true or false, not {echo(text)}")
    try:
        return float(text)
    except ValueError:
        raise InputError(path, line, f"{column} must be a number, not {echo(text)}") from None


def read_node_table(
    path: Path,
    nodes: list[str],
    *,
    delimiter: str | None = None,
    need_positions: bool = False,
) -> NodeTable:
    """Read a node table for a graph whose node labels are ``nodes``.

    Parameters
    ----------
    path : Path
        The table.
    nodes : list of str
        The graph's node labels.
    delimiter : str, optional
        Field separator; default: from the extension.
    need_positions : bool, default False
        Refuse a table without ``x`` and ``y`` columns (start positions).

    Raises
    ------
    InputError
        For a missing header, unknown, repeated or half-given (x without y)
        columns, a node listed twice, or malformed values, by line.
    """
    index = {node: i for i, node in enumerate(nodes)}
    table = NodeTable()
    rows = table_rows(path, delimiter_for(path, delimiter))
    first = next(rows, None)
    if first is None:
        raise InputError(path, None, "the node table is empty")
    columns = _columns(path, *first, need_positions)
    lines: dict[str, int] = {}
    for line, fields in rows:
        if len(fields) != len(columns) + 1:
            raise InputError(
                path, line, f"expected {len(columns) + 1} fields like the header, got {len(fields)}"
            )
        earlier = lines.setdefault(fields[0], line)
        if earlier != line:
            raise InputError(
                path, line, f"node {echo(fields[0])} is listed twice (lines {earlier} and {line})"
            )
        node = index.get(fields[0])
        if node is None:
            table.unknown.append(fields[0])
            continue
        values = {c: _value(path, line, c, text) for c, text in zip(columns, fields[1:])}
        for column in ("size", "mass"):
            number = values.get(column)
            if number is not None:
                getattr(table, column)[node] = float(number)
        if values.get("x") is not None and values.get("y") is not None:
            table.position[node] = (float(values["x"] or 0.0), float(values["y"] or 0.0))
        if values.get("fixed"):
            table.fixed.add(node)
    return table
