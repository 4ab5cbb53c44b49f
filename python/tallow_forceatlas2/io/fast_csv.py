"""A fast path for big delimited edge lists, read with pyarrow.

The hand-written reader (:mod:`tallow_forceatlas2.io.readers`) reads about a
million lines a second in Python; pyarrow's multithreaded CSV reader, with
node labels numbered by its dictionary encoding, reads tens of millions
(10 million edges in a few seconds, in about twice the file's size).
The fast path only takes files it reads exactly as the hand-written reader
would: anything unusual (a malformed line, a bad weight, a ``#`` inside the
data, surrounding spaces, a mix of weighted and unweighted lines) makes it
step aside, and the hand-written reader reads the file and reports the
problem by line. pyarrow is a dependency; should it be missing, every file
takes the hand-written reader.
"""

from __future__ import annotations

from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.io.node_numbering import NodeNumbering

__all__ = ["FAST_FROM_BYTES", "read_edges_fast"]

# Smaller files read in well under a second either way, and keep the one
# reader whose every message is tested.
FAST_FROM_BYTES = 4 << 20
# Text parsed at a time (at line ends, by both cores): big enough that the
# blocks' own label lists (each up to every node) stay few, small enough to
# hold little text.
BLOCK_BYTES = 16 << 20
_DELIMITERS = (",", "\t", ";", "|")
_OTHER_LINE_ENDS = "[\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029\ufeff]"


def read_edges_fast(
    path: Path,
    delimiter: str | None,
    header: bool,
    weighted: bool,
    n_fields: int,
) -> tuple[list[str], Any, Any] | None:
    """Read an edge list with pyarrow, or return None to leave it to the plain reader.

    Parameters
    ----------
    path : Path
        The file.
    delimiter : str or None
        ",", tab, ";" or "|"; anything else (None: runs of whitespace)
        returns None.
    header : bool
        Whether the first data line is a header, to drop.
    weighted : bool
        Read the third column as weights.
    n_fields : int
        Fields of the first data line: 2 or 3.

    Returns
    -------
    (nodes, edges, weights) or None
        Node labels in order of first appearance, an ``(m, 2)`` int64 array
        and float64 weights (or None); None when the plain reader must read.
    """
    if delimiter not in _DELIMITERS or n_fields not in (2, 3):
        return None
    try:
        if path.stat().st_size < FAST_FROM_BYTES:
            return None
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except (OSError, ModuleNotFoundError):
        return None
    if not block_reader_supported(pa):
        return None
    try:
        return _read(path, delimiter, header, weighted and n_fields == 3, n_fields)
    except (ValueError, pa.ArrowNotImplementedError, OSError):  # ArrowInvalid is a ValueError
        return None


def block_reader_supported(pa: Any) -> bool:
    """Whether this pyarrow and NumPy run the block reader.

    With pyarrow 25 and NumPy 1.26 (CPython 3.10) a block read hung in the
    tests; the plain reader reads those installs until that is understood.
    """
    newest = int(pa.__version__.split(".")[0]) >= 26 and int(np.__version__.split(".")[0]) >= 2
    return newest


def _blocks(path: Path) -> Iterator[memoryview]:
    """The file's bytes in pieces of about BLOCK_BYTES that end at a line end.

    Each piece is a view of one buffer, refilled for the next: valid until then.
    """
    buffer = bytearray(BLOCK_BYTES)
    held = 0  # bytes of an unfinished line, carried to the front
    with path.open("rb") as handle:
        while True:
            if held == len(buffer):
                raise ValueError("a line longer than a block: not an edge list's")
            view = memoryview(buffer)
            read = handle.readinto(view[held:])
            if not read:
                break
            filled = held + read
            end = buffer.rfind(b"\n", 0, filled) + 1
            if end == 0:
                held = filled
                continue
            yield view[:end]
            buffer[: filled - end] = view[end:filled]
            held = filled - end
    if held:
        yield memoryview(buffer)[:held]


def _read(
    path: Path, delimiter: str, header: bool, weighted: bool, n_fields: int
) -> tuple[list[str], NDArray[np.int64], NDArray[np.float64] | None] | None:
    import pyarrow as pa
    import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.csv as pacsv  # type: ignore[import-untyped,import-not-found,unused-ignore]

    names = ["source", "target", "weight"][:n_fields]

    def skip_comments(row: Any) -> str:
        return "skip" if (row.text or "").lstrip().startswith("#") else "error"

    options = {
        "read_options": pacsv.ReadOptions(column_names=names, encoding="utf8"),
        "parse_options": pacsv.ParseOptions(delimiter=delimiter, invalid_row_handler=skip_comments),
        "convert_options": pacsv.ConvertOptions(
            column_types={name: pa.string() for name in names},
            include_columns=names if weighted else names[:2],
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        ),
    }
    pool = _memory_pool(pa)
    max_edges = _line_count(path)
    numbering = NodeNumbering(pa, pc, pool, max_edges)
    weights = np.empty(max_edges if weighted else 0)  # pages never written take no memory
    with ThreadPoolExecutor(max_workers=1) as worker:
        # Block k is hashed on the worker while block k - 1 is merged and
        # block k + 1 parsed here: two cores busy, two blocks in memory.
        pending_header, previous = header, None
        for block in _blocks(path):
            table = pacsv.read_csv(
                pa.BufferReader(pa.py_buffer(block)), memory_pool=pool, **options
            )
            if pending_header and table.num_rows:
                table, pending_header = table.slice(1), False
            begin = numbering.reserve(table.num_rows)
            if weighted and not _read_weights(pa, pc, table.column(2), pool, weights, begin // 2):
                return None
            encoding = worker.submit(numbering.encode, table.column(0), table.column(1), begin)
            del table
            if previous is not None:
                numbering.merge(previous[0].result(), *previous[1:])
            previous = (encoding, begin, numbering.edge_count - begin // 2)
            pool.release_unused()  # the block's text and hash tables, back to the system
        if previous is not None:
            numbering.merge(previous[0].result(), *previous[1:])
    if numbering.edge_count == 0:
        return None
    labels, edges = numbering.finish()
    if not _labels_read_alike(pc, labels):
        return None
    return labels.to_pylist(), edges, weights[: len(edges)] if weighted else None


def _memory_pool(pa: Any) -> Any:
    """jemalloc where pyarrow has it, else the system's: both hand freed blocks back."""
    try:
        return pa.jemalloc_memory_pool()
    except NotImplementedError:
        return pa.system_memory_pool()


def _line_count(path: Path) -> int:
    """Line ends in the file, plus one: at least its number of rows."""
    count = 1
    buffer = bytearray(1 << 20)
    with path.open("rb") as handle:
        while read := handle.readinto(buffer):
            count += buffer.count(b"\n", 0, read)
    return count


def _read_weights(
    pa: Any, pc: Any, column: Any, pool: Any, weights: NDArray[np.float64], start: int
) -> bool:
    """Write a block's weights from edge ``start`` on; False unless all finite and >= 0."""
    try:
        values = pc.cast(column, pa.float64(), memory_pool=pool)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return False
    for chunk in values.chunks:
        part = weights[start : start + len(chunk)]
        part[:] = chunk.to_numpy()
        if not (np.isfinite(part).all() and (part >= 0).all()):
            return False
        start += len(chunk)
    return True


def _labels_read_alike(pc: Any, labels: Any) -> bool:
    """Whether the plain reader would read these node labels the same (checked once each)."""
    # Labels it would strip, empty ones, "#" lines that split into the right
    # number of fields, and characters that end a line for str.splitlines but
    # not for pyarrow (and a byte-order mark): leave those to it.
    return not (
        pc.any(pc.equal(labels, "")).as_py()
        or pc.any(pc.starts_with(labels, "#")).as_py()
        or not pc.all(pc.equal(labels, pc.utf8_trim_whitespace(labels))).as_py()
        or pc.any(pc.match_substring_regex(labels, _OTHER_LINE_ENDS)).as_py()
    )
