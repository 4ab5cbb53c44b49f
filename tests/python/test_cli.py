"""The tallow-fa2 command end to end on temporary files, and every bad-input path."""

from __future__ import annotations

import csv
import io
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import layout
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.io.readers import read_graph

EDGE_LIST = """\
# a small social graph
source,target,weight
alice,bob,2
bob,"carol, jr.",1.5
"carol, jr.",alice,1
carol,dave,1
dave,émile,3
émile,carol,1
"""
NODES = ["alice", "bob", "carol, jr.", "carol", "dave", "émile"]
EDGES = [[0, 1], [1, 2], [2, 0], [3, 4], [4, 5], [5, 3]]
WEIGHTS = [2.0, 1.5, 1.0, 1.0, 3.0, 1.0]
FAST = ["--iterations", "30", "--no-progress"]


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    return width, height


def read_csv_positions(path: Path) -> tuple[list[str], np.ndarray]:
    with path.open(encoding="utf-8", newline="") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["node", "x", "y"]
    # Coordinates are written as the shortest text of their float32 value.
    values = np.array([[r[1], r[2]] for r in rows[1:]]).astype(np.float32)
    return [r[0] for r in rows[1:]], values.astype(np.float64)


@pytest.fixture
def edge_file(tmp_path: Path) -> Path:
    path = tmp_path / "graph.csv"
    path.write_text(EDGE_LIST, encoding="utf-8")
    return path


def test_csv_in_png_and_csv_out(edge_file: Path, tmp_path: Path) -> None:
    png, table = tmp_path / "picture.png", tmp_path / "positions.csv"
    assert (
        main(
            [
                str(edge_file),
                "-o",
                str(png),
                "-o",
                str(table),
                "--size",
                "640x480",
                "--dpi",
                "100",
                *FAST,
            ]
        )
        == 0
    )
    assert png_size(png) == (640, 480)
    nodes, positions = read_csv_positions(table)
    assert nodes == NODES
    expected = layout(np.array(EDGES), weights=WEIGHTS, iterations=30, seed=0)
    assert np.array_equal(positions, expected)


def as_float32_values(texts: list[list[str]]) -> np.ndarray:
    return np.array(texts).astype(np.float32).astype(np.float64)


def test_npy_npz_json_and_standard_output_hold_the_same_positions(
    edge_file: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    npy, npz, js = tmp_path / "p.npy", tmp_path / "p.npz", tmp_path / "p.json"
    assert main([str(edge_file), "-o", str(npy), "-o", str(npz), "-o", str(js), *FAST]) == 0
    assert main([str(edge_file), *FAST]) == 0
    lines = capsys.readouterr().out.splitlines()
    rows = list(csv.reader(lines))
    texts = [[x, y] for _, x, y in rows[1:]]
    assert np.array_equal(np.load(npy), as_float32_values(texts))
    # The shortest float32 text: no float64 noise such as -153.40109252929688.
    assert all(len(t.lstrip("-").replace(".", "").replace("e", "")) <= 10 for r in texts for t in r)
    with np.load(npz) as saved:
        assert saved["nodes"].tolist() == NODES
        assert np.array_equal(saved["positions"], np.load(npy))
    mapping = json.loads(js.read_text(encoding="utf-8"), parse_float=str)
    assert mapping == dict(zip(NODES, texts))


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("g.tsv", "alice\tbob\t2\nbob\tcarol, jr.\t1.5\ncarol, jr.\talice\t1\n"),
        (
            "g.txt",
            "# comment\nalice bob 2 # trailing comment\n\nbob carol 1.5\ncarol alice\n",
        ),
    ],
    ids=["tsv", "whitespace"],
)
def test_tab_and_whitespace_edge_lists(tmp_path: Path, name: str, text: str) -> None:
    path, out = tmp_path / name, tmp_path / "out.csv"
    path.write_text(text, encoding="utf-8")
    assert main([str(path), "-o", str(out), *FAST]) == 0
    nodes, positions = read_csv_positions(out)
    assert nodes[:2] == ["alice", "bob"]
    weights = [2.0, 1.5, 1.0]
    assert np.array_equal(
        positions, layout([[0, 1], [1, 2], [2, 0]], weights=weights, iterations=30)
    )


@pytest.mark.parametrize("suffix", [".graphml", ".gexf", ".gml"])
def test_graph_files_through_networkx(tmp_path: Path, suffix: str) -> None:
    graph = nx.Graph()
    graph.add_edge("a", "b", weight=2.0)
    graph.add_edge("b", "c", weight=1.0)
    for node, group in zip("abc", "xxy"):
        graph.nodes[node]["group"] = group
        graph.nodes[node]["label"] = node
    path, out, png = tmp_path / f"g{suffix}", tmp_path / "out.json", tmp_path / "g.svg"
    {"graphml": nx.write_graphml, "gexf": nx.write_gexf, "gml": nx.write_gml}[suffix[1:]](
        graph, path
    )
    assert (
        main(
            [
                str(path),
                "-o",
                str(out),
                "-o",
                str(png),
                "--community-attribute",
                "group",
                *FAST,
            ]
        )
        == 0
    )
    positions = json.loads(out.read_text(encoding="utf-8"))
    assert sorted(positions) == ["a", "b", "c"]
    assert png.read_text(encoding="utf-8").lstrip().startswith("<?xml")


def test_demo_draws_a_picture_of_the_requested_size(tmp_path: Path) -> None:
    png = tmp_path / "demo.png"
    assert (
        main(
            [
                "--demo",
                "-o",
                str(png),
                "--width",
                "300",
                "--height",
                "200",
                "--dpi",
                "50",
                *FAST,
            ]
        )
        == 0
    )
    assert png_size(png) == (300, 200)


def test_communities_file_colours_the_picture(edge_file: Path, tmp_path: Path) -> None:
    table = tmp_path / "groups.csv"
    table.write_text("node,community\nalice,1\nbob,1\ncarol,2\n", encoding="utf-8")
    pdf = tmp_path / "g.pdf"
    assert main([str(edge_file), "--communities", str(table), "-o", str(pdf), *FAST]) == 0
    assert pdf.read_bytes().startswith(b"%PDF")


@pytest.mark.parametrize(
    "entry", [["-m", "tallow_forceatlas2"], ["tallow-fa2"]], ids=["python -m", "script"]
)
def test_installed_commands_run(entry: list[str], tmp_path: Path) -> None:
    if entry == ["tallow-fa2"]:
        script = Path(sys.executable).with_name("tallow-fa2")
        if not script.exists():
            pytest.skip("the console script is not next to this interpreter")
        command = [str(script)]
    else:
        command = [sys.executable, *entry]
    result = subprocess.run([*command, "--version"], capture_output=True, text=True, check=False)
    assert result.returncode == 0 and result.stdout.startswith("tallow-fa2 ")
    result = subprocess.run(
        [*command, "--demo", *FAST],
        capture_output=True,
        text=True,
        check=False,
        cwd=tmp_path,
    )
    assert result.returncode == 0 and result.stdout.count("\n") == 3131


def write(tmp_path: Path, name: str, data: bytes) -> str:
    (tmp_path / name).write_bytes(data)
    return str(tmp_path / name)


# Each case: command-line arguments ({d} is the temporary directory), files to
# create first, and the expected single line on standard error.
BAD_INPUT = [
    (["{d}/missing.csv"], {}, "{d}/missing.csv: no such file"),
    (["{d}"], {}, "{d}: is a directory, not a file"),
    (
        ["{d}/g.csv"],
        {"g.csv": b"a,b\nc\n"},
        "{d}/g.csv:2: expected 'source,target[,weight]', got 1 field(s)",
    ),
    (
        ["{d}/g.txt"],
        {"g.txt": b"a b 1 2\n"},
        "{d}/g.txt:1: expected 'source target [weight]', got 4 field(s)",
    ),
    (
        ["{d}/g.csv"],
        {"g.csv": b"a,b,1\nb,c,heavy\n"},
        "{d}/g.csv:2: weight 'heavy' is not a finite number >= 0",
    ),
    (
        ["{d}/g.csv"],
        {"g.csv": b"a,b,1\nb,c,-2\n"},
        "{d}/g.csv:2: weight '-2' is not a finite number >= 0",
    ),
    (
        ["{d}/g.csv"],
        {"g.csv": b"a,b,nan\n"},
        "{d}/g.csv:1: weight 'nan' is not a finite number >= 0",
    ),
    (["{d}/g.csv"], {"g.csv": b"# nothing\n"}, "{d}/g.csv: contains no edges"),
    (["{d}/g.csv"], {"g.csv": b"a,b\n\xff,c\n"}, "{d}/g.csv:2: is not UTF-8 text"),
    (["{d}/g.csv"], {"g.csv": b'a,"b\n'}, "{d}/g.csv:1: cannot split this line"),
    (
        ["{d}/g.graphml"],
        {"g.graphml": b"<graphml><graph>\n<node id='a'>\n</graphml>"},
        "{d}/g.graphml:3: cannot read this GRAPHML file",
    ),
    (
        ["{d}/g.csv", "--community-attribute", "x"],
        {"g.csv": b"a,b\n"},
        "{d}/g.csv: --community-attribute is for GraphML, GEXF and GML files",
    ),
    (["--bogus"], {}, "unrecognized arguments: --bogus (see tallow-fa2 --help)"),
    (
        ["--iterations", "many", "--demo"],
        {},
        "argument --iterations: invalid int value: 'many'",
    ),
    ([], {}, "give either a graph file or --demo"),
    (["--demo", "{d}/g.csv"], {}, "--demo takes no graph file"),
    (["--demo", "-o", "{d}/out.xyz"], {}, "{d}/out.xyz: cannot tell the output format"),
    (["--demo", "--iterations", "-1"], {}, "--iterations must be >= 0, not -1"),
    (["--demo", "--threads", "0"], {}, "--threads must be between 1 and 65535, not 0"),
    (["--demo", "--threads", "70000"], {}, "--threads must be between 1 and 65535, not 70000"),
    (["--demo", "--gravity", "-1"], {}, ": --gravity must be between 0 and 1e+06, not -1"),
    (["--demo", "--scaling-ratio", "nan"], {}, ": --scaling-ratio must be finite, not nan"),
    (["--demo", "--delimiter", ""], {}, "argument --delimiter: expected one character"),
    (["--demo", "--delimiter", "ab"], {}, "argument --delimiter: expected one character"),
    (["-", "--format", "xls"], {}, "argument --format: invalid choice: 'xls'"),
    (["-"], {}, "<stdin>: contains no edges"),
    (
        ["--demo", "-o", "{d}/p.csv", "-o", "{d}/missing/p.png"],
        {},
        "{d}/missing/p.png: the directory {d}/missing does not exist",
    ),
    (["--demo", "-o", "{d}"], {}, "{d}: cannot tell the output format"),
    (["--demo", "-o", "{d}/sub.csv"], {"sub.csv/x": b""}, "{d}/sub.csv: is a directory"),
    (
        ["--demo", "--size", "big"],
        {},
        "argument --size: expected WIDTHxHEIGHT in pixels",
    ),
    (
        ["--demo", "--dpi", "0"],
        {},
        "--width, --height, --size and --dpi must be positive",
    ),
]


@pytest.mark.parametrize(
    ("argv", "files", "message"), BAD_INPUT, ids=[case[2][:45] for case in BAD_INPUT]
)
def test_bad_input_is_one_line_and_status_2(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    argv: list[str],
    files: dict[str, bytes],
    message: str,
) -> None:
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        write(tmp_path, name, data)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"")))
    code = main([arg.format(d=tmp_path) for arg in argv])
    captured = capsys.readouterr()
    lines = captured.err.splitlines()
    assert code == 2
    assert len(lines) == 1 and lines[0].startswith("tallow-fa2: error: "), captured.err
    assert message.format(d=tmp_path) in lines[0]
    assert captured.out == ""


def test_bad_input_in_a_real_process_has_no_traceback(tmp_path: Path) -> None:
    bad = write(tmp_path, "g.csv", b"a,b\nc\n")
    result = subprocess.run(
        [sys.executable, "-m", "tallow_forceatlas2", bad],
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 2
    assert (
        result.stderr
        == f"tallow-fa2: error: {bad}:2: expected 'source,target[,weight]', got 1 field(s)\n"
    )


def test_output_failing_after_the_layout_is_status_1(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    def full_disk(*args: object, **kwargs: object) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr("tallow_forceatlas2.cli.write_positions", full_disk)
    assert main(["--demo", "-o", str(tmp_path / "out.csv"), *FAST]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err == ["tallow-fa2: error: cannot write output: [Errno 28] No space left on device"]


def test_missing_output_directory_is_found_before_the_layout(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    def must_not_run(*args: object, **kwargs: object) -> None:
        raise AssertionError("the layout ran")

    monkeypatch.setattr("tallow_forceatlas2.cli.layout", must_not_run)
    target = tmp_path / "no" / "such" / "dir" / "out.csv"
    assert main(["--demo", "-o", str(tmp_path / "ok.csv"), "-o", str(target), *FAST]) == 2
    assert len(capsys.readouterr().err.splitlines()) == 1


def test_header_is_guessed_and_can_be_forced(tmp_path: Path) -> None:
    guessed, forced = tmp_path / "a.csv", tmp_path / "b.csv"
    for path, flag in ((guessed, []), (forced, ["--no-header"])):
        path.write_text("from,to\nx,y\n", encoding="utf-8")
        out = path.with_suffix(".json")
        assert main([str(path), "-o", str(out), *FAST, *flag]) == 0
        names = sorted(json.loads(out.read_text(encoding="utf-8")))
        assert names == (["x", "y"] if not flag else ["from", "to", "x", "y"])


def test_help_lists_every_setting(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["--help"]) == 0
    text = capsys.readouterr().out
    for option in (
        "--lin-log",
        "--dissuade-hubs",
        "--prevent-overlap",
        "--edge-weight-influence",
        "--scaling-ratio",
        "--strong-gravity",
        "--gravity",
        "--slow-down",
        "--barnes-hut",
        "--no-barnes-hut",
        "--barnes-hut-theta",
        "--threads",
        "--seed",
        "--iterations",
    ):
        assert option in text


def test_settings_options_reach_the_layout(edge_file: Path, tmp_path: Path) -> None:
    out = tmp_path / "o.npy"
    assert (
        main(
            [
                str(edge_file),
                "-o",
                str(out),
                "--lin-log",
                "--gravity",
                "0.5",
                "--barnes-hut",
                "--threads",
                "2",
                "--seed",
                "9",
                *FAST,
            ]
        )
        == 0
    )
    expected = layout(
        np.array(EDGES),
        weights=WEIGHTS,
        iterations=30,
        seed=9,
        lin_log=True,
        gravity=0.5,
        barnes_hut=True,
        threads=2,
    )
    assert np.array_equal(np.load(out), expected)
    assert os.path.getsize(out) > 0


@pytest.mark.parametrize("flag", ["--multilevel", "--no-multilevel"])
def test_multilevel_option_gives_the_layout_of_the_keyword(
    edge_file: Path, tmp_path: Path, flag: str
) -> None:
    out = tmp_path / "out.npy"
    assert main([str(edge_file), flag, "--iterations", "20", "-o", str(out)]) == 0
    graph = read_graph(edge_file)
    expected = layout(
        graph.edges,
        n_nodes=len(graph.nodes),
        weights=graph.weights,
        iterations=20,
        multilevel=flag == "--multilevel",
    )
    assert np.array_equal(np.load(out), expected)
