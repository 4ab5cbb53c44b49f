"""Write node positions as CSV (``node,x,y``), NumPy ``.npy``/``.npz`` or JSON.

Layout positions are float32 values held in float64 (the kernel stores
float32), so text formats print each coordinate as the shortest decimal that
reads back to the same float32: ``-153.4011`` rather than
``-153.40109252929688``. Coordinates that are not float32 values (positions
built some other way) keep their full float64 text.
"""

from __future__ import annotations

import csv
import json
from collections.abc import Sequence
from pathlib import Path
from typing import TextIO

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.io.node_order import positions_in_node_order

__all__ = ["POSITION_FORMATS", "coordinate_texts", "write_positions", "write_positions_csv"]

POSITION_FORMATS = (".csv", ".npy", ".npz", ".json")


def coordinate_texts(positions: NDArray[np.float64]) -> list[list[str]]:
    """Return each coordinate as the shortest text that reads back to its value.

    Parameters
    ----------
    positions : ndarray of float64, shape (n, 2)
        Coordinates.

    Returns
    -------
    list of [str, str]
        ``repr`` of the float32 value when every coordinate is exactly a
        float32 (``numpy.float32(text)`` then gives it back bit for bit),
        else ``repr`` of the float64 value.
    """
    values = np.asarray(positions, dtype=np.float64)
    narrow = values.astype(np.float32)
    if np.array_equal(narrow.astype(np.float64), values):
        return [[str(x) for x in row] for row in narrow]
    return [[repr(x) for x in row] for row in values.tolist()]


def write_positions_csv(out: TextIO, nodes: Sequence[str], positions: object) -> None:
    """Write a ``node,x,y`` table with a header line.

    Parameters
    ----------
    out : text stream
        Where to write; opened with ``newline=""`` when it is a file.
    nodes : sequence of str
        Node labels in row order.
    positions : array_like of shape (n, 2), or mapping
        Coordinates in node order, or a mapping from every node to
        ``(x, y)``; written as :func:`coordinate_texts` gives them.
    """
    positions = positions_in_node_order(positions, len(nodes), nodes)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["node", "x", "y"])
    for node, (x, y) in zip(nodes, coordinate_texts(positions)):
        writer.writerow([node, x, y])


def write_positions(path: Path, nodes: Sequence[str], positions: object) -> None:
    """Write positions to a file whose extension picks the format.

    Parameters
    ----------
    path : Path
        ``.csv`` for a ``node,x,y`` table; ``.npy`` for the ``(n, 2)``
        float64 array in node order (without the node names); ``.npz`` for
        that array as ``positions`` beside the names as ``nodes`` (a string
        array, loadable without pickle); ``.json`` for an object mapping each
        node label to ``[x, y]``.
    nodes : sequence of str
        Node labels in row order.
    positions : array_like of shape (n, 2), or mapping
        Coordinates in node order, or a mapping from every node to ``(x, y)``
        (such as ``forceatlas2_layout``'s result).

    Raises
    ------
    ValueError
        For an extension that is none of these, or positions that do not
        match ``nodes``.
    OSError
        When the file cannot be written.
    """
    suffix = path.suffix.lower()
    if suffix not in POSITION_FORMATS:
        raise ValueError(f"{path}: positions can be written as {', '.join(POSITION_FORMATS)}")
    positions = positions_in_node_order(positions, len(nodes), nodes)
    array = np.ascontiguousarray(positions, dtype=np.float64)
    if suffix == ".csv":
        with path.open("w", encoding="utf-8", newline="") as out:
            write_positions_csv(out, nodes, positions)
    elif suffix == ".npy":
        with path.open("wb") as binary:
            np.save(binary, array)
    elif suffix == ".npz":
        with path.open("wb") as binary:
            np.savez(binary, positions=array, nodes=np.array([str(n) for n in nodes], dtype=str))
    else:  # .json
        texts = coordinate_texts(positions)
        with path.open("w", encoding="utf-8") as out:
            # Numbers go in as their shortest text; json would print float64 noise.
            out.write("{")
            for i, (node, (x, y)) in enumerate(zip(nodes, texts)):
                out.write(f"{', ' if i else ''}{json.dumps(str(node))}: [{x}, {y}]")
            out.write("}\n")
