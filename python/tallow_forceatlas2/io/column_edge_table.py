"""Edge tables whose header names the columns, such as Gephi's edge-table export.

Gephi writes ``Source,Target,Type,Id,Label,Weight`` (some versions add
``timeset`` or ``Interval``): the ends and the weight are found by name, in
any case and order, and the other columns are skipped.
"""

from __future__ import annotations

import math
from array import array
from pathlib import Path

import numpy as np

from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.io.readers import EdgeList, InputError, table_rows

__all__ = ["names_edge_columns", "read_column_edge_table"]

_PLAIN_HEADERS = (["source", "target"], ["source", "target", "weight"])


def names_edge_columns(fields: list[str]) -> bool:
    """Whether a first line names a source and a target column among others.

    ``source,target[,weight]`` is left to the plain reader, which takes
    columns by position.
    """
    names = [field.strip().lower() for field in fields]
    return {"source", "target"} <= set(names) and names not in _PLAIN_HEADERS


def _column(path: Path, names: list[str], name: str) -> int | None:
    if names.count(name) > 1:
        raise InputError(path, 1, f"column {echo(name)} appears twice")
    return names.index(name) if name in names else None


def read_column_edge_table(path: Path, delimiter: str | None, weighted: bool) -> EdgeList:
    """Read the edges of a table whose first line names its columns.

    Parameters
    ----------
    path : Path
        The file; its first data line names ``source`` and ``target``
        columns and, optionally, ``weight`` (in any case).
    delimiter : str or None
        Field separator (None: whitespace).
    weighted : bool
        Read the weight column (finite, >= 0; an empty field weighs 1).

    Returns
    -------
    EdgeList

    Raises
    ------
    InputError
        Naming the file and line of the first problem.
    """
    rows = table_rows(path, delimiter)
    header_line, header = next(rows)
    names = [field.strip().lower() for field in header]
    source, target = _column(path, names, "source"), _column(path, names, "target")
    assert source is not None and target is not None  # names_edge_columns said so
    weight = _column(path, names, "weight") if weighted else None
    index: dict[str, int] = {}
    pairs = array("q")
    weights = array("d")
    for number, fields in rows:
        if len(fields) != len(names):
            raise InputError(
                path,
                number,
                f"expected {len(names)} fields like the header on line {header_line}, "
                f"got {len(fields)}",
            )
        if not fields[source] or not fields[target]:
            raise InputError(path, number, "the source or the target is empty")
        if weight is not None:
            weights.append(_weight(path, number, fields[weight]))
        pairs.append(index.setdefault(fields[source], len(index)))
        pairs.append(index.setdefault(fields[target], len(index)))
    if not pairs:
        raise InputError(path, None, "contains no edges")
    edges = np.frombuffer(pairs, dtype=np.int64).reshape(-1, 2)
    values = None if weight is None else np.frombuffer(weights, dtype=np.float64)
    return EdgeList(list(index), edges, values)


def _weight(path: Path, number: int, text: str) -> float:
    if not text:
        return 1.0
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value < 0:
        raise InputError(path, number, f"weight {echo(text)} is not a finite number >= 0")
    return value
