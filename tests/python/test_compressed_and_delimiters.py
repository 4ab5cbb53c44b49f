"""Compressed inputs, tables whose separator is not their extension's, big reads in blocks,
and layouts too big for memory refused up front."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import layout, limits, prepare
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.io import fast_csv
from tallow_forceatlas2.io.readers import read_edge_list, read_graph

FAST = ["--iterations", "5", "--no-progress"]
COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.compress,
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
}
EDGES = [("a", "b"), ("b", "c"), ("c", "a"), ("c", "d")]


def graph_file(folder: Path, name: str) -> Path:
    """The same small graph in the format the name says."""
    path = folder / name
    graph = nx.Graph(EDGES)
    writers = {".graphml": nx.write_graphml, ".gexf": nx.write_gexf, ".gml": nx.write_gml}
    if path.suffix in writers:
        writers[path.suffix](graph, path)
    else:
        separator = {".csv": ",", ".tsv": "\t"}.get(path.suffix, " ")
        path.write_text("".join(f"{u}{separator}{v}\n" for u, v in EDGES), encoding="utf-8")
    return path


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, list[str]]:
    code = main(argv)
    captured = capsys.readouterr()
    return code, captured.out, captured.err.splitlines()


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
@pytest.mark.parametrize("name", ["g.csv", "g.tsv", "g.txt", "g.graphml", "g.gexf", "g.gml"])
def test_compressed_files_read_as_their_plain_form(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], name: str, suffix: str
) -> None:
    plain = graph_file(tmp_path, name)
    packed = tmp_path / (name + suffix)
    packed.write_bytes(COMPRESSORS[suffix](plain.read_bytes()))
    want, got = read_graph(plain), read_graph(packed)
    assert got.nodes == want.nodes and np.array_equal(got.edges, want.edges)
    code, out, err = run([str(packed), *FAST], capsys)
    assert (code, err) == (0, []) and out == run([str(plain), *FAST], capsys)[1]


def test_compressed_standard_input_and_side_tables(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    edges = gzip.compress(graph_file(tmp_path, "g.csv").read_bytes())
    communities = tmp_path / "c.csv.gz"
    communities.write_bytes(gzip.compress(b"a,1\nb,1\nc,2\nd,2\n"))
    positions = tmp_path / "p.csv.xz"
    positions.write_bytes(lzma.compress(b"node,x,y\na,1,2\n"))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(edges)))
    argv = ["-", "--communities", str(communities), "--pos", str(positions), "--fix-pos"]
    code, out, err = run([*argv, *FAST], capsys)
    assert (code, err) == (0, [])
    assert "a,1.0,2.0" in out.splitlines()[1:]


@pytest.mark.parametrize(
    ("limit", "size", "message"),
    [
        ("RATIO_FROM_BYTES", 1 << 20, "more than 1 MiB, over 100 times its compressed size"),
        ("MAX_DECOMPRESSED_BYTES", 1 << 20, "more than 0.000976562 GiB"),
    ],
)
def test_a_decompression_bomb_is_refused_in_one_line(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    limit: str,
    size: int,
    message: str,
) -> None:
    from tallow_forceatlas2.io import compressed

    monkeypatch.setattr(compressed, limit, size)
    bomb = tmp_path / "bomb.csv.gz"
    bomb.write_bytes(gzip.compress(b"a,b\n" * (1 << 20)))  # 4 MiB from 12 KiB
    code, _, err = run([str(bomb), *FAST], capsys)
    assert code == 2 and len(err) == 1
    assert f"{bomb}: decompresses to {message}" in err[0] and "gunzip -k" in err[0]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (gzip.compress(b"a,b\nb,c\n" * 1000)[:-40], "is a truncated gzip file"),
        (b"\x1f\x8b\x08\x00" + b"\xff" * 40, "is not a valid gzip file"),
    ],
)
def test_broken_compressed_files_are_named(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], data: bytes, message: str
) -> None:
    path = tmp_path / "g.csv.gz"
    path.write_bytes(data)
    code, _, err = run([str(path), *FAST], capsys)
    assert code == 2 and len(err) == 1 and f"{path}: {message}" in err[0]


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("semicolons.csv", "a;b\nb;c;2\n"),
        ("tabs.csv", "a\tb\nb\tc\t2\n"),
        ("pipes.csv", "a|b\nb|c|2\n"),
        ("spaces.csv", "a b\nb  c 2\n"),
        ("commas.tsv", "a,b\nb,c,2\n"),
        ("commas.txt", "a,b\nb,c,2\n"),
        ("header.csv", "# made in a spreadsheet\nsource;target;weight\na;b;1\nb;c;2\n"),
    ],
)
def test_the_separator_the_first_line_shows_is_used(tmp_path: Path, name: str, text: str) -> None:
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    graph = read_graph(path)
    assert graph.nodes == ["a", "b", "c"] and graph.edges.tolist() == [[0, 1], [1, 2]]
    assert graph.weights is not None and graph.weights.tolist() == [1.0, 2.0]


@pytest.mark.parametrize(
    ("text", "hint"),
    [
        ("a,b\nb;c\n", "separated by ';', not ',': pass --delimiter ';'"),
        ("a,b\nb\tc\n", "separated by tab, not ',': pass --delimiter tab"),
        ("a;b\nb,c\n", "separated by ',', not ';': pass --delimiter ','"),
        ("a,b\nb c\n", "by whitespace, not ',': name the file .txt or pass --format txt"),
    ],
)
def test_a_line_with_another_separator_gets_a_hint(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, hint: str
) -> None:
    path = tmp_path / "g.csv"
    path.write_text(text, encoding="utf-8")
    code, _, err = run([str(path), *FAST], capsys)
    assert code == 2 and len(err) == 1
    assert "g.csv:2: expected 'source" in err[0] and "got 1 field(s); the fields look" in err[0]
    assert err[0].endswith(hint)


def test_node_tables_with_semicolons(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    edges = graph_file(tmp_path, "g.csv")
    nodes = tmp_path / "n.csv"
    nodes.write_text("node;x;y;fixed\na;3;4;true\n", encoding="utf-8")
    code, out, err = run([str(edges), "--nodes", str(nodes), *FAST], capsys)
    assert (code, err) == (0, []) and "a,3.0,4.0" in out.splitlines()


BIG = "".join(
    f"n{(i * 7919) % 997},m{(i * 104729) % 1009},{i % 5}\n" + ("# a note\n" if i % 500 == 0 else "")
    for i in range(20_000)
)


@pytest.mark.parametrize("delimiter", [",", ";", "\t"])
@pytest.mark.parametrize(("header", "block"), [(True, 100), (False, 4096), (True, 1 << 20)])
def test_fast_reader_in_blocks_numbers_nodes_as_the_plain_reader(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, delimiter: str, header: bool, block: int
) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    if not fast_csv.block_reader_supported(pyarrow):
        pytest.skip("the block reader needs pyarrow 26 and NumPy 2")
    path = tmp_path / "big.csv"
    text = ("source,target,weight\n" if header else "") + BIG
    path.write_text(text.replace(",", delimiter), encoding="utf-8")
    monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", 1 << 62)
    plain = read_edge_list(path)
    monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", 0)
    monkeypatch.setattr(fast_csv, "BLOCK_BYTES", block)
    assert fast_csv.read_edges_fast(path, delimiter, header, True, 3) is not None
    fast = read_edge_list(path)
    assert fast.nodes == plain.nodes and fast.edges.dtype == np.int64
    assert np.array_equal(fast.edges, plain.edges)
    assert fast.weights is not None and plain.weights is not None
    assert np.array_equal(fast.weights, plain.weights)


def test_fast_reader_leaves_overlong_lines_and_compressed_names_to_the_plain_reader(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", 0)
    monkeypatch.setattr(fast_csv, "BLOCK_BYTES", 16)
    path = tmp_path / "long.csv"
    path.write_text("a,b\nb," + "x" * 40 + "\n", encoding="utf-8")
    assert fast_csv.read_edges_fast(path, ",", False, True, 2) is None
    assert read_edge_list(path).nodes == ["a", "b", "x" * 40]
    packed = tmp_path / "g.csv.gz"
    packed.write_bytes(gzip.compress(b"a,b\n" * 100))
    assert fast_csv.read_edges_fast(packed, ",", False, True, 2) is None


def must_not_run(*args: Any, **options: Any) -> None:
    raise AssertionError("the layout started")


def test_a_layout_whose_edges_do_not_fit_is_refused_up_front(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    edges = np.array([[i % 3, (i + 1) % 3] for i in range(100_000)])
    room = 3 * limits.BYTES_PER_NODE + 1000  # the nodes fit; their 100,000 edges do not
    monkeypatch.setattr(limits, "_memory_limit", lambda: room)
    monkeypatch.setattr(prepare, "layout_nodes", must_not_run)
    expected = "a layout of 3 nodes and 100,000 edges needs at least 0.0 GiB"
    with pytest.raises(MemoryError, match=re.escape(expected)):
        layout(edges)
    path = tmp_path / "g.csv"
    path.write_text("".join(f"{u},{v}\n" for u, v in edges.tolist()), encoding="utf-8")
    code, _, err = run([str(path), *FAST], capsys)
    line = (
        f"tallow-fa2: error: out of memory: {expected} ({limits.BYTES_PER_NODE} bytes per "
        f"node, {limits.BYTES_PER_EDGE} per edge) but only 0.0 GiB of memory is available "
        "(try a smaller graph or a machine with more memory)"
    )
    assert code == 2 and err == [line]


def test_available_memory_is_what_the_system_has_free(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    from tallow_forceatlas2 import available_memory

    meminfo = tmp_path / "meminfo"
    meminfo.write_text("MemTotal: 99999999 kB\nMemAvailable: 2048 kB\n", encoding="ascii")
    monkeypatch.setattr(available_memory, "_MEMINFO", meminfo)
    assert available_memory.available_memory() == 2048 * 1024
