"""A fast path for big comma- and tab-separated edge lists, read with pyarrow.

The hand-written reader (:mod:`tallow_forceatlas2.io.readers`) reads about a
million lines a second in Python; pyarrow's multithreaded CSV reader, with
node labels numbered by its dictionary encoding, reads tens of millions.
The fast path only takes files it reads exactly as the hand-written reader
would: anything unusual (a malformed line, a bad weight, a ``#`` inside the
data, surrounding spaces, a mix of weighted and unweighted lines) makes it
step aside, and the hand-written reader reads the file and reports the
problem by line. Without pyarrow installed every file takes the hand-written
reader (``pip install 'tallow_forceatlas2[fast]'``).
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["FAST_FROM_BYTES", "read_edges_fast"]

# Smaller files read in well under a second either way, and keep the one
# reader whose every message is tested.
FAST_FROM_BYTES = 4 << 20
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
        "," or tab; anything else (None: runs of whitespace) returns None.
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
    if delimiter not in (",", "\t") or n_fields not in (2, 3):
        return None
    try:
        size = path.stat().st_size
    except OSError:
        return None
    if size < FAST_FROM_BYTES:
        return None
    try:
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.csv as pacsv  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ModuleNotFoundError:
        return None
    names = ["source", "target", "weight"][:n_fields]

    def skip_comments(row: Any) -> str:
        return "skip" if (row.text or "").lstrip().startswith("#") else "error"

    try:
        table = pacsv.read_csv(
            path,
            read_options=pacsv.ReadOptions(column_names=names, encoding="utf8"),
            parse_options=pacsv.ParseOptions(
                delimiter=delimiter, invalid_row_handler=skip_comments
            ),
            convert_options=pacsv.ConvertOptions(
                column_types={name: pa.string() for name in names},
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError, UnicodeDecodeError, OSError):
        return None
    if header:
        table = table.slice(1)
    if table.num_rows == 0:
        return None
    ends = [table.column("source").combine_chunks(), table.column("target").combine_chunks()]
    weights = None
    if n_fields == 3 and weighted:
        try:
            values = pc.cast(table.column("weight"), pa.float64()).to_numpy()
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            return None
        if not (np.isfinite(values).all() and (values >= 0).all()):
            return None
        weights = np.ascontiguousarray(values, dtype=np.float64)
    count = table.num_rows
    both = pa.concat_arrays(ends)
    # Source and target alternate, so the dictionary lists the nodes in the
    # order the plain reader meets them.
    order = np.empty(2 * count, dtype=np.int64)
    order[0::2] = np.arange(count)
    order[1::2] = np.arange(count, 2 * count)
    encoded = pc.dictionary_encode(both.take(pa.array(order)))
    if not _labels_read_alike(pc, encoded.dictionary):
        return None
    edges = encoded.indices.to_numpy().astype(np.int64).reshape(-1, 2)
    return encoded.dictionary.to_pylist(), edges, weights


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
