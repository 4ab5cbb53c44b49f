"""tallow-fa2 on inputs that used to give wrong results or raw errors without a word."""

from __future__ import annotations

import io
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from tallow_forceatlas2.cli import main

FAST = ["--iterations", "20", "--no-progress"]


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, list[str]]:
    code = main(argv)
    captured = capsys.readouterr()
    return code, captured.out, captured.err.splitlines()


def node_names(path: Path) -> list[str]:
    return sorted(json.loads(path.read_text(encoding="utf-8")))


@pytest.mark.parametrize(
    ("text", "flags", "nodes", "warned"),
    [
        # Unknown column names over numeric ids: a header, and it is said so.
        ("Actor,Movie\n1,2\n2,3\n", [], ["1", "2", "3"], True),
        ("person_a,person_b\nann,bob\nbob,cy\n", [], ["ann", "bob", "cy"], True),
        # Names that come back later are nodes: the first line is an edge.
        ("ann,bob\nbob,cy\ncy,ann\n", [], ["ann", "bob", "cy"], False),
        # A single line is an edge, whatever it says.
        ("Actor,Movie\n", [], ["Actor", "Movie"], False),
        ("1,2\n2,3\n", [], ["1", "2", "3"], False),
        ("source,target\nx,y\n", [], ["x", "y"], False),
        ("Actor,Movie\n1,2\n", ["--no-header"], ["1", "2", "Actor", "Movie"], False),
        ("ann,bob\nbob,cy\n", ["--header"], ["bob", "cy"], False),
    ],
)
def test_first_line_header_or_edge(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    text: str,
    flags: list[str],
    nodes: list[str],
    warned: bool,
) -> None:
    graph, out = tmp_path / "g.csv", tmp_path / "p.json"
    graph.write_text(text, encoding="utf-8")
    code, _, err = run([str(graph), "-o", str(out), *FAST, *flags], capsys)
    assert code == 0 and node_names(out) == nodes
    if warned:
        assert len(err) == 1 and err[0].startswith("tallow-fa2: warning: took the first line")
        assert "--no-header" in err[0]
    else:
        assert err == []


@pytest.mark.parametrize("spelling", ["\\t", "tab", "TAB", "\t"])
def test_tab_delimiter_spellings(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], spelling: str
) -> None:
    graph, out = tmp_path / "g.txt", tmp_path / "p.json"
    graph.write_text("a b\tc d\nc d\te\n", encoding="utf-8")
    code, _, err = run([str(graph), "--delimiter", spelling, "-o", str(out), *FAST], capsys)
    assert (code, err) == (0, [])
    assert node_names(out) == ["a b", "c d", "e"]


def test_misspelt_weight_attribute_is_named(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    nx = pytest.importorskip("networkx")
    G = nx.Graph()
    G.add_edge("a", "b", weight=5.0)
    G.add_edge("b", "c", weight=1.0)
    path = tmp_path / "g.graphml"
    nx.write_graphml(G, path)
    code, out, err = run([str(path), "--weight", "wieght", *FAST], capsys)
    assert code == 0 and out.startswith("node,x,y\n")
    assert len(err) == 1 and err[0].startswith("tallow-fa2: warning: no edge has a 'wieght'")
    assert "'weight'" in err[0] and "--no-weights" in err[0]


def test_communities_table_unknown_and_missing_nodes_warn(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    graph, table = tmp_path / "g.csv", tmp_path / "c.csv"
    graph.write_text("a,b\nb,c\n", encoding="utf-8")
    table.write_text("node,community\na,1\nzz,2\n", encoding="utf-8")
    code, _, err = run([str(graph), "--communities", str(table), *FAST], capsys)
    assert code == 0 and len(err) == 2
    assert (
        err[0] == f"tallow-fa2: warning: {table}: 1 node(s) are not in the graph and were "
        "skipped (first: 'zz')"
    )
    assert err[1].startswith(f"tallow-fa2: warning: {table}: 2 of the graph's 3 nodes have no")


def test_run_time_errors_name_options(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    graph = tmp_path / "g.csv"
    graph.write_text("a,b,1000000\nb,c,1\n", encoding="utf-8")
    code, _, err = run([str(graph), "--edge-weight-influence", "2", *FAST], capsys)
    assert code == 2 and len(err) == 1
    assert "weight ** --edge-weight-influence" in err[0]
    assert "edge_weight_influence" not in err[0]


def test_standard_input_with_a_format(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"a\tb\nb\tc\n")))
    code, out, err = run(["-", "--format", "tsv", *FAST], capsys)
    assert (code, err) == (0, [])
    assert [line.split(",")[0] for line in out.splitlines()] == ["node", "a", "b", "c"]


def test_standard_input_errors_name_stdin(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"a,b\nc\n")))
    code, _, err = run(["-", *FAST], capsys)
    assert code == 2
    assert err == [
        "tallow-fa2: error: <stdin>:2: expected 'source,target[,weight]', got 1 field(s)"
    ]


def test_closed_standard_output_ends_quietly() -> None:
    with subprocess.Popen(
        [sys.executable, "-m", "tallow_forceatlas2", "--demo", *FAST],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as process:
        assert process.stdout is not None and process.stderr is not None
        assert process.stdout.readline() == b"node,x,y\n"
        process.stdout.close()  # as `| head -1` does
        err = process.stderr.read()
        assert process.wait(timeout=60) == 141
    assert err == b""


def test_version_everywhere(capsys: pytest.CaptureFixture[str]) -> None:
    import tallow_forceatlas2

    assert main(["--version"]) == 0
    assert capsys.readouterr().out == f"tallow-fa2 {tallow_forceatlas2.__version__}\n"
    assert tallow_forceatlas2.__version__[0].isdigit()
    assert "__version__" in dir(tallow_forceatlas2)


def networkx_files(tmp_path: Path) -> dict[str, Path]:
    nx = pytest.importorskip("networkx")
    G = nx.Graph()
    G.add_edge("a", "b", weight=2.0)
    G.add_edge("b", "c")
    G.add_edge("c", "a", weight=0.5)
    paths = {kind: tmp_path / f"g.{kind}" for kind in ("edgelist", "net", "adjlist")}
    nx.write_edgelist(G, paths["edgelist"])
    nx.write_pajek(G, paths["net"])
    nx.write_adjlist(G, paths["adjlist"])
    return paths


@pytest.mark.parametrize(
    ("kind", "weights"), [("edgelist", [2.0, 0.5, 1.0]), ("net", None), ("adjlist", None)]
)
def test_files_networkx_writes_are_read(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], kind: str, weights: list[float] | None
) -> None:
    from tallow_forceatlas2 import layout

    path = networkx_files(tmp_path)[kind]
    out = tmp_path / "p.npz"
    code, _, err = run([str(path), "-o", str(out), *FAST], capsys)
    assert (code, err) == (0, [])
    with np.load(out) as saved:
        assert sorted(saved["nodes"].tolist()) == ["a", "b", "c"]
        if weights is not None:
            expected = layout(np.array([[0, 1], [0, 2], [1, 2]]), weights=weights, iterations=20)
            assert np.array_equal(saved["positions"], expected)


@pytest.mark.parametrize(
    ("text", "hint"),
    [
        ('*Vertices 2\n1 "a"\n2 "b"\n*Edges\n1 2\n', "looks like a Pajek file"),
        ("a b c d\nb c\n", "if this is an adjacency list"),
    ],
)
def test_other_formats_get_a_hint(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, hint: str
) -> None:
    path = tmp_path / "g.txt"
    path.write_text(text, encoding="utf-8")
    code, _, err = run([str(path), *FAST], capsys)
    assert code == 2 and len(err) == 1 and hint in err[0]
