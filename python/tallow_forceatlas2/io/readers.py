"""Read graphs and community tables from files, reporting errors by file and line.

Edge lists are text: one edge per line as ``source target [weight]``,
separated by commas (``.csv``), tabs (``.tsv``, ``.tab``) or whitespace
(anything else), or by what the first line shows when that differs
(:mod:`.delimiters`); node labels are any text; ``#`` starts a comment line
(and, in whitespace-separated files, a comment at the end of a line). GraphML,
GEXF and GML files are read with networkx. Every format may be compressed
(``edges.csv.gz``, :mod:`.compressed`).
"""

from __future__ import annotations

import ast
import csv
import math
from array import array
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO
from xml.etree import ElementTree

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.io.compressed import decompressed_copy, format_suffix, open_input
from tallow_forceatlas2.io.delimiters import delimiter_hint, detect_delimiter

__all__ = [
    "GRAPH_FORMATS",
    "EdgeList",
    "InputError",
    "delimiter_for",
    "read_communities",
    "read_graph",
    "table_rows",
]

GRAPH_FORMATS = {
    ".graphml": "graphml",
    ".gexf": "gexf",
    ".gml": "gml",
    ".net": "pajek",
    ".adjlist": "adjlist",
}
_DELIMITERS = {".csv": ",", ".tsv": "\t", ".tab": "\t"}
_HEADER_WORDS = {
    "source",
    "target",
    "from",
    "to",
    "src",
    "dst",
    "u",
    "v",
    "node",
    "node1",
    "node2",
    "id",
    "id1",
    "id2",
    "weight",
    "community",
    "label",
}


class InputError(ValueError):
    """A problem with an input file, located by file and line.

    Parameters
    ----------
    path : str or Path
        The file.
    line : int or None
        The 1-based line number, when the problem has one.
    message : str
        What is wrong and, where possible, what to do.
    """

    def __init__(self, path: str | Path, line: int | None, message: str) -> None:
        where = f"{path}:{line}" if line is not None else f"{path}"
        super().__init__(f"{where}: {message}")
        self.path, self.line, self.message = str(path), line, message


@dataclass(frozen=True)
class EdgeList:
    """A graph read from a file.

    Attributes
    ----------
    nodes : list of str
        Node labels in order of first appearance; index i is node i.
    edges : ndarray of int64, shape (m, 2)
        Source and target indices, in file order.
    weights : ndarray of float64, shape (m,), or None
        Edge weights, or None when no edge had one.
    communities : list of str or None
        A community label per node, when the file carried them.
    guessed_header : list of str or None
        The first line's fields when they were taken for a header by
        guessing (not forced by ``header=True`` nor plain column names such
        as ``source,target``), so that callers can say so.
    positions : dict of int to (float, float) or None
        The positions a graph file gives its nodes (GEXF ``viz:position``,
        GraphML ``x``/``y``), by node index; NaN where a coordinate is not
        a number.
    """

    nodes: list[str]
    edges: NDArray[np.int64]
    weights: NDArray[np.float64] | None
    communities: list[str] | None = None
    guessed_header: list[str] | None = None
    positions: dict[int, tuple[float, float]] | None = None


def _open_binary(path: Path) -> BinaryIO:
    try:
        return path.open("rb")
    except FileNotFoundError:
        raise InputError(path, None, "no such file") from None
    except IsADirectoryError:
        raise InputError(path, None, "is a directory, not a file") from None
    except OSError as exc:
        raise InputError(path, None, exc.strerror or str(exc)) from None


def _lines(path: Path) -> Iterator[tuple[int, str]]:
    """Yield (line number, text) of a UTF-8 file, reading it a buffer at a time.

    Lines are numbered as ``str.splitlines`` numbers them; a byte line is
    decoded on its own, so an encoding error is reported on its line.
    """
    from tallow_forceatlas2.io.file_checks import check_text_file

    check_text_file(path)
    try:
        handle = open_input(path)
    except FileNotFoundError:
        raise InputError(path, None, "no such file") from None
    except IsADirectoryError:
        raise InputError(path, None, "is a directory, not a file") from None
    except OSError as exc:
        raise InputError(path, None, exc.strerror or str(exc)) from None
    number = 0
    encoding = "utf-8-sig"  # a byte-order mark may open the first line only
    with handle:
        for raw in handle:
            try:
                text = raw.decode(encoding)
            except UnicodeDecodeError:
                raise InputError(path, number + 1, "is not UTF-8 text") from None
            encoding = "utf-8"
            for line in text.splitlines():
                number += 1
                yield number, line


def delimiter_for(path: Path, delimiter: str | None) -> str | None:
    """The field separator of a table (None: whitespace).

    The given one, else the extension's, unless the first data line shows
    another (see :func:`~tallow_forceatlas2.io.delimiters.detect_delimiter`).
    """
    if delimiter is not None:
        return delimiter
    expected = _DELIMITERS.get(format_suffix(path))
    first = next((s for _, line in _lines(path) if (s := line.strip()) and s[0] != "#"), None)
    return expected if first is None else detect_delimiter(first, expected)


def table_rows(path: Path, delimiter: str | None) -> Iterator[tuple[int, list[str]]]:
    """Yield (line number, fields) of the data lines of a delimited text file."""
    for number, line in _lines(path):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if delimiter is None:
            fields = stripped.split("#", 1)[0].split()
        else:
            try:
                fields = next(csv.reader([stripped], delimiter=delimiter, strict=True))
            except csv.Error as exc:
                raise InputError(path, number, f"cannot split this line: {exc}") from None
            fields = [field.strip() for field in fields]
        yield number, fields


def _number(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return value


def _networkx_edge_line(path: Path, number: int, fields: list[str]) -> list[str]:
    """``u v {'weight': 2}``, networkx's write_edgelist format: the weight out of the dict."""
    try:
        data = ast.literal_eval(" ".join(fields[2:]))
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        data = None
    if not isinstance(data, dict):
        raise InputError(path, number, "cannot read the edge data after the two nodes")
    if "weight" in data:
        return [*fields[:2], str(data["weight"])]
    return fields[:2]


_PAJEK_SECTIONS = {"*vertices", "*edges", "*arcs", "*edgeslist", "*arcslist", "*network"}


def _shape_message(shape: str, fields: list[str], delimiter: str | None) -> str:
    message = f"expected '{shape}', got {len(fields)} field(s)"
    if fields and fields[0].lower() in _PAJEK_SECTIONS:
        return message + "; this looks like a Pajek file: name it .net or pass --format net"
    if len(fields) > 3:
        return (
            message + "; if this is an adjacency list (a node, then its neighbours), "
            "name it .adjlist or pass --format adjlist"
        )
    return message + delimiter_hint(fields, delimiter)


def _is_column_names(fields: list[str]) -> bool:
    """Whether a first line is certainly a header: common column names, or a word for a weight."""
    if len(fields) == 3 and _number(fields[2]) is None and not fields[2].startswith("{"):
        return True
    return (
        len(fields) >= 2
        and {f.lower() for f in fields[:2]} <= _HEADER_WORDS
        and (fields[0].lower() != fields[1].lower())
    )


def _may_be_header(fields: list[str]) -> bool:
    """Whether a first line could be a header: its node fields are both non-numeric."""
    return len(fields) >= 2 and all(_number(field) is None for field in fields[:2])


def read_edge_list(
    path: Path,
    *,
    delimiter: str | None = None,
    header: bool | None = None,
    weighted: bool = True,
) -> EdgeList:
    """Read a delimited edge list.

    Parameters
    ----------
    path : Path
        The file.
    delimiter : str, optional
        Field separator; default: from the extension (``,`` for .csv, tab for
        .tsv/.tab, any whitespace otherwise).
    header : bool, optional
        Whether the first data line is a header. Default: guessed. A first
        line whose two node fields are numbers is an edge; one whose third
        field is not a number, or whose fields are column names such as
        ``source,target``, is a header. Any other line of two non-numeric
        fields is a header only when no later line names either of them
        (then :attr:`EdgeList.guessed_header` holds it) and the file has
        other edges.
    weighted : bool, default True
        Read the third column as the edge weight (finite, >= 0).

    Returns
    -------
    EdgeList

    Raises
    ------
    InputError
        Naming the file and line of the first problem.
    """
    delimiter = delimiter_for(path, delimiter)
    first = next((fields for _, fields in table_rows(path, delimiter)), None)
    if header is not False and first is not None:
        from tallow_forceatlas2.io import column_edge_table as by_name

        if by_name.names_edge_columns(first):
            return by_name.read_column_edge_table(path, delimiter, weighted)
    if header is None and first is not None:
        if _is_column_names(first):
            header = True
        elif _may_be_header(first):
            return _guess_header(path, delimiter, weighted, first)
    return _read_all_edges(path, delimiter, bool(header), weighted)


def _read_all_edges(path: Path, delimiter: str | None, header: bool, weighted: bool) -> EdgeList:
    graph = _read_edges(path, delimiter, header, weighted)
    assert graph is not None  # only a header check stops early
    return graph


def _guess_header(path: Path, delimiter: str | None, weighted: bool, first: list[str]) -> EdgeList:
    # Read the rest as if the line were a header, stopping at the first line
    # that names one of its fields: a header's words never reappear as nodes.
    try:
        graph = _read_edges(path, delimiter, True, weighted, header_names=set(first[:2]))
    except InputError as exc:
        if exc.line is not None:
            raise
        graph = None  # the line was the only edge
    if graph is None:
        return _read_all_edges(path, delimiter, False, weighted)
    return EdgeList(graph.nodes, graph.edges, graph.weights, guessed_header=first)


def _read_edges(
    path: Path,
    delimiter: str | None,
    header: bool,
    weighted: bool,
    header_names: set[str] | None = None,
) -> EdgeList | None:
    """Read the edges; None as soon as a line names one of ``header_names``."""
    fast = _read_fast(path, delimiter, header, weighted)
    if fast is not None:
        if header_names and not header_names.isdisjoint(fast.nodes):
            return None
        return fast
    # Rows go into compact typed arrays (8 bytes per value) as they are read,
    # so memory grows with the graph, not with the file's text.
    index: dict[str, int] = {}
    pairs = array("q")
    weights: array[float] | None = None
    shape = "source,target[,weight]" if delimiter == "," else "source target [weight]"
    for count, (number, fields) in enumerate(table_rows(path, delimiter)):
        if count == 0 and header:
            continue
        if delimiter is None and len(fields) > 2 and fields[2].startswith("{"):
            fields = _networkx_edge_line(path, number, fields)
        if len(fields) not in (2, 3) or not all(fields[:2]):
            raise InputError(path, number, _shape_message(shape, fields, delimiter))
        if header_names and (fields[0] in header_names or fields[1] in header_names):
            return None
        weight = 1.0
        if len(fields) == 3 and weighted:
            parsed = _number(fields[2])
            if parsed is None or not math.isfinite(parsed) or parsed < 0:
                raise InputError(
                    path, number, f"weight {echo(fields[2])} is not a finite number >= 0"
                )
            weight = parsed
            if weights is None:  # the first weight: the edges before it weigh 1
                weights = array("d", [1.0]) * (len(pairs) // 2)
        pairs.append(index.setdefault(fields[0], len(index)))
        pairs.append(index.setdefault(fields[1], len(index)))
        if weights is not None:
            weights.append(weight)
    if not pairs:
        raise InputError(path, None, "contains no edges")
    edges = np.frombuffer(pairs, dtype=np.int64).reshape(-1, 2)
    values = None if weights is None else np.frombuffer(weights, dtype=np.float64)
    return EdgeList(list(index), edges, values)


def _read_fast(path: Path, delimiter: str | None, header: bool, weighted: bool) -> EdgeList | None:
    """The pyarrow fast path for big files, when it can read this one exactly as we would."""
    first = next((fields for _, fields in table_rows(path, delimiter)), None)
    if first is None:
        return None
    from tallow_forceatlas2.io.fast_csv import read_edges_fast

    read = read_edges_fast(path, delimiter, header, weighted, len(first))
    if read is None:
        return None
    nodes, edges, weights = read
    return EdgeList(nodes, edges, weights)


_MESSAGE_LENGTH = 200


def _graph_file_error(path: Path, exc: Exception) -> InputError:
    position = getattr(exc, "position", None)
    line = getattr(exc, "lineno", None) or (position[0] if position else None)
    message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if len(message) > _MESSAGE_LENGTH:  # the parsers may quote a whole field
        message = f"{message[:_MESSAGE_LENGTH]}... ({len(message):,} characters)"
    return InputError(path, line, f"cannot read this {path.suffix[1:].upper()} file: {message}")


def read_graph_file(
    path: Path, *, weight: str | None = "weight", community_attribute: str | None = None
) -> EdgeList:
    """Read a GraphML, GEXF or GML file with networkx.

    Parameters
    ----------
    path : Path
        The file; its extension picks the format.
    weight : str or None, default "weight"
        Edge attribute holding the weight (missing means 1).
    community_attribute : str, optional
        Node attribute holding each node's community.

    Returns
    -------
    EdgeList
        Node labels are the file's node ids (GML labels; GEXF labels when
        distinct) as text, with the positions the file gives.

    Raises
    ------
    InputError
        For unreadable files and bad weights.
    """
    try:
        import networkx as nx  # type: ignore[import-untyped]
    except ModuleNotFoundError:
        raise InputError(
            path,
            None,
            "reading graph files needs networkx: pip install 'tallow_forceatlas2[networkx]'",
        ) from None
    from tallow_forceatlas2.io import graph_file_nodes
    from tallow_forceatlas2.io.file_checks import check_text_file

    check_text_file(path)
    # Missing and unreadable files are reported as for edge lists; the parsers
    # read the open file a block at a time, so a fault ends the reading there.
    handle = _open_binary(path)
    readers = {
        "graphml": nx.read_graphml,
        "gexf": nx.read_gexf,
        "gml": nx.read_gml,
        "pajek": nx.read_pajek,
        "adjlist": nx.read_adjlist,
    }
    try:
        with handle:
            graph = readers[GRAPH_FORMATS[path.suffix.lower()]](handle)
    except (
        nx.NetworkXError,
        ElementTree.ParseError,
        ValueError,
        LookupError,
        TypeError,
    ) as exc:
        raise _graph_file_error(path, exc) from None
    except RecursionError:  # the GML parser recurses once per nesting level
        raise InputError(
            path,
            None,
            f"cannot read this {path.suffix[1:].upper()} file: it is nested too deeply",
        ) from None
    from tallow_forceatlas2.inputs import graph_arrays

    try:
        arrays = graph_arrays(graph, weight=weight)
    except ValueError as exc:
        raise InputError(path, None, str(exc)) from None
    communities = None
    if community_attribute is not None:
        communities = graph_file_nodes.node_communities(path, graph, community_attribute)
    nodes = graph_file_nodes.node_names(path, graph)
    positions = graph_file_nodes.node_positions(graph)
    edges = arrays.edges.astype(np.int64)
    return EdgeList(nodes, edges, arrays.weights, communities, positions=positions)


def read_graph(
    path: Path,
    *,
    delimiter: str | None = None,
    header: bool | None = None,
    weight: str | None = "weight",
    community_attribute: str | None = None,
) -> EdgeList:
    """Read an edge list or a graph file, choosing the reader by extension.

    Parameters
    ----------
    path : Path
        ``.graphml``, ``.gexf`` and ``.gml`` go through networkx; anything
        else is read as a delimited edge list.
    delimiter, header
        See :func:`read_edge_list`.
    weight : str or None, default "weight"
        For graph files the edge attribute holding the weight; for edge
        lists, None ignores the weight column.
    community_attribute : str, optional
        Node attribute holding each node's community (graph files only).

    Returns
    -------
    EdgeList

    Raises
    ------
    InputError
        Naming the file and, where there is one, the line.
    """
    with decompressed_copy(path) as copy:
        if copy is not None:
            options = {"weight": weight, "community_attribute": community_attribute}
            try:
                return read_graph(copy, delimiter=delimiter, header=header, **options)
            except InputError as exc:
                raise InputError(path, exc.line, exc.message) from None
    if path.suffix.lower() in GRAPH_FORMATS:
        return read_graph_file(path, weight=weight, community_attribute=community_attribute)
    if community_attribute is not None:
        raise InputError(
            path,
            None,
            "--community-attribute is for GraphML, GEXF and GML files; "
            "give an edge list's communities with --communities FILE",
        )
    return read_edge_list(path, delimiter=delimiter, header=header, weighted=weight is not None)


def read_communities(
    path: Path, nodes: list[str], *, delimiter: str | None = None
) -> tuple[list[str], list[str]]:
    """Read a ``node community`` table and return each node's community.

    Parameters
    ----------
    path : Path
        Two fields per line, delimited as edge lists are; an optional header.
    nodes : list of str
        The graph's node labels.
    delimiter : str, optional
        As for :func:`read_edge_list`.

    Returns
    -------
    communities : list of str
        The community of every node, in node order; ``""`` for nodes the
        table does not list.
    unknown : list of str
        Nodes the table lists that are not in the graph (skipped), in file
        order; a first line naming no node is a header, not one of them.

    Raises
    ------
    InputError
        For malformed lines.
    """
    delimiter = delimiter_for(path, delimiter)
    index = {node: i for i, node in enumerate(nodes)}
    communities = [""] * len(nodes)
    unknown: list[str] = []
    for count, (number, fields) in enumerate(table_rows(path, delimiter)):
        if len(fields) != 2:
            raise InputError(path, number, f"expected 'node community', got {len(fields)} field(s)")
        if fields[0] not in index:
            if count == 0:
                continue  # a header line such as "node,community"
            unknown.append(fields[0])
            continue
        communities[index[fields[0]]] = fields[1]
    return communities, unknown
