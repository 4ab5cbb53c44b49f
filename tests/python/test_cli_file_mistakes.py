"""tallow-fa2 on file mistakes: outputs over inputs, odd tables, huge fields, binary and huge files."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from tallow_forceatlas2.cli import main

FAST = ["--iterations", "5", "--no-progress"]
EDGES = "a,b\nb,c\nc,a\n"


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, list[str]]:
    code = main(argv)
    return code, capsys.readouterr().err.splitlines()


@pytest.mark.parametrize("option", ["graph", "--communities", "--pos", "--nodes"])
@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink"])
def test_output_over_an_input_is_refused_and_the_input_kept(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], option: str, spelling: str
) -> None:
    files = {
        "graph": ("e.csv", EDGES),
        "--communities": ("c.csv", "node,community\na,1\nb,2\n"),
        "--pos": ("p.csv", "node,x,y\na,1,2\n"),
        "--nodes": ("n.csv", "node,size\na,3\n"),
    }
    paths = {name: tmp_path / file for name, (file, _) in files.items()}
    for name, (_, text) in files.items():
        paths[name].write_text(text, encoding="utf-8")
    target = paths[option]
    output = {
        "same": target,
        "dotted": tmp_path / "." / target.name,
        "symlink": tmp_path / "link.csv",
    }[spelling]
    if spelling == "symlink":
        output.symlink_to(target)
    argv = [str(paths["graph"]), "-o", str(output), *FAST]
    for name in ("--communities", "--pos", "--nodes"):
        argv += [name, str(paths[name])]
    code, err = run(argv, capsys)
    assert code == 2 and len(err) == 1
    assert err[0].startswith(f"tallow-fa2: error: {output}: ") and "input" in err[0]
    assert target.read_text(encoding="utf-8") == files[option][1]


@pytest.mark.parametrize(
    ("option", "table", "message"),
    [
        ("--pos", "node,x\na,1\n", "has an x column but no y column"),
        ("--pos", "node,y\na,1\n", "has a y column but no x column"),
        ("--nodes", "node,size,x\na,1,2\n", "has an x column but no y column"),
        ("--pos", "node,size\na,1\n", "has no x and y columns"),
        ("--pos", "node,x,y\na,1,2\nb,0,0\na,3,4\n", "node 'a' is listed twice (lines 2 and 4)"),
        ("--nodes", "node,size\nb,1\nb,1\n", "node 'b' is listed twice (lines 2 and 3)"),
        ("--nodes", "node,size,Size\na,1,2\n", "column 'size' appears twice"),
    ],
)
def test_node_table_mistakes_are_one_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], option: str, table: str, message: str
) -> None:
    graph, path = tmp_path / "e.csv", tmp_path / "t.csv"
    graph.write_text(EDGES, encoding="utf-8")
    path.write_text(table, encoding="utf-8")
    code, err = run([str(graph), option, str(path), *FAST], capsys)
    assert code == 2 and len(err) == 1
    assert err[0].startswith(f"tallow-fa2: error: {path}") and message in err[0]


# Below the csv module's field limit (128 KiB), which ends long fields of .csv files.
LONG = "9" * 100_000


@pytest.mark.parametrize(
    ("files", "options"),
    [
        ({"e.csv": f"a,b,1\nb,c,{LONG}x\n"}, []),
        ({"e.txt": f"a b 1\nb c {LONG * 10}x\n"}, []),
        ({"e.csv": EDGES, "n.csv": f"node,size\na,{LONG}x\n"}, ["--nodes", "n.csv"]),
        ({"e.csv": EDGES, "n.csv": f"node,{LONG}\na,1\n"}, ["--nodes", "n.csv"]),
        ({"e.csv": EDGES, "n.csv": f"node,fixed\na,{LONG}\n"}, ["--nodes", "n.csv"]),
        ({"e.csv": EDGES, "c.csv": f"node,community\na,1\n{LONG},2\n"}, ["--communities", "c.csv"]),
        ({"e.csv": EDGES, "p.csv": f"node,x,y\na,1,1\n{LONG},1,2\n"}, ["--pos", "p.csv"]),
        ({"e.csv": f"{LONG},b\nb,c\n"}, ["--nodes", "n.csv"]),
    ],
    ids=[
        "weight",
        "whitespace-weight",
        "size",
        "column",
        "fixed",
        "community-node",
        "pos-node",
        "node-in-table",
    ],
)
def test_echoed_fields_are_cut_to_a_readable_length(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    files: dict[str, str],
    options: list[str],
) -> None:
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    if "n.csv" not in files and "--nodes" in options:
        (tmp_path / "n.csv").write_text(f"node,size\n{LONG},-1\n", encoding="utf-8")
    argv = [str(tmp_path / next(iter(files))), *FAST]
    argv += [str(tmp_path / o) if o.endswith(".csv") else o for o in options]
    main(argv)
    err = capsys.readouterr().err.splitlines()
    assert err and all(len(line) < 400 for line in err), [len(line) for line in err]
    assert any("characters)" in line for line in err)


def limited_run(argv: list[str], memory: int) -> subprocess.CompletedProcess[str]:
    """Run the command in a process that may not use more than ``memory`` bytes."""
    limit = f"import resource; resource.setrlimit(resource.RLIMIT_AS, ({memory}, {memory}))"
    code = f"{limit}; import sys; from tallow_forceatlas2.cli import main; sys.exit(main())"
    return subprocess.run(
        [sys.executable, "-c", code, *argv], check=False, capture_output=True, text=True, timeout=60
    )


GiB = 1 << 30
# ASan reserves terabytes of shadow address space at start-up, which no
# address-space limit leaves room for; the sanitized run tests the rest.
limits_address_space = pytest.mark.skipif(
    sys.platform != "linux" or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="sparse files and RLIMIT_AS (not under AddressSanitizer)",
)


@limits_address_space
@pytest.mark.parametrize("name", ["zeros.csv", "zeros.graphml"])
def test_file_of_nul_bytes_is_called_what_it_is(tmp_path: Path, name: str) -> None:
    path = tmp_path / name
    with path.open("wb") as handle:
        handle.truncate(2 * GiB)  # sparse: no disk space, no time
    done = limited_run([str(path), *FAST], GiB)
    assert done.returncode == 2
    assert done.stderr == f"tallow-fa2: error: {path}: not a text file: it holds NUL bytes\n"


@limits_address_space
@pytest.mark.parametrize("suffix", [".graphml", ".gexf"])
def test_huge_malformed_graph_file_is_refused_at_the_fault(tmp_path: Path, suffix: str) -> None:
    path = tmp_path / f"g{suffix}"
    root = "graphml" if suffix == ".graphml" else "gexf"
    with path.open("wb") as handle:
        handle.write(f"<{root}>\n<graph>\n<node id='a'></graph>\n".encode())
        handle.write(b" " * (1 << 20))
        handle.truncate(2 * GiB)
    done = limited_run([str(path), *FAST], GiB)
    assert done.returncode == 2
    assert done.stderr.startswith(f"tallow-fa2: error: {path}:3: cannot read this ")
    assert "mismatched tag" in done.stderr and done.stderr.count("\n") == 1
