"""Write node positions as CSV (``node,x,y``), NumPy ``.npy`` or JSON."""

from __future__ import annotations

import csv
import json
from collections.abc import Sequence
from pathlib import Path
from typing import TextIO

import numpy as np
from numpy.typing import NDArray

__all__ = ["POSITION_FORMATS", "write_positions", "write_positions_csv"]

POSITION_FORMATS = (".csv", ".npy", ".json")


def write_positions_csv(out: TextIO, nodes: Sequence[str], positions: NDArray[np.float64]) -> None:
    """Write a ``node,x,y`` table with a header line.

    Parameters
    ----------
    out : text stream
        Where to write; opened with ``newline=""`` when it is a file.
    nodes : sequence of str
        Node labels in row order.
    positions : ndarray of float64, shape (n, 2)
        Coordinates, written in full precision.
    """
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["node", "x", "y"])
    for node, (x, y) in zip(nodes, positions.tolist()):
        writer.writerow([node, repr(x), repr(y)])


def write_positions(path: Path, nodes: Sequence[str], positions: NDArray[np.float64]) -> None:
    """Write positions to a file whose extension picks the format.

    Parameters
    ----------
    path : Path
        ``.csv`` for a ``node,x,y`` table, ``.npy`` for the ``(n, 2)``
        float64 array in node order, ``.json`` for an object mapping each
        node label to ``[x, y]``.
    nodes : sequence of str
        Node labels in row order.
    positions : ndarray of float64, shape (n, 2)
        Coordinates.

    Raises
    ------
    ValueError
        For an extension that is none of the three.
    OSError
        When the file cannot be written.
    """
    suffix = path.suffix.lower()
    if suffix == ".csv":
        with path.open("w", encoding="utf-8", newline="") as out:
            write_positions_csv(out, nodes, positions)
    elif suffix == ".npy":
        with path.open("wb") as binary:
            np.save(binary, np.ascontiguousarray(positions, dtype=np.float64))
    elif suffix == ".json":
        mapping = dict(zip(nodes, positions.tolist()))
        with path.open("w", encoding="utf-8") as out:
            json.dump(mapping, out, allow_nan=False)
            out.write("\n")
    else:
        raise ValueError(f"{path}: positions can be written as {', '.join(POSITION_FORMATS)}")
