"""tallow-fa2 with a node table (--nodes) and kept positions (--pos, --fix-pos)."""

from __future__ import annotations

import csv
from pathlib import Path

import numpy as np
import pytest
from tallow_forceatlas2 import cli


def star_file(tmp_path: Path, leaves: int = 12) -> Path:
    path = tmp_path / "star.csv"
    path.write_text("".join(f"hub,leaf{i}\n" for i in range(leaves)), encoding="utf-8")
    return path


def read_positions(path: Path) -> dict[str, tuple[float, float]]:
    with path.open(encoding="utf-8") as f:
        return {row["node"]: (float(row["x"]), float(row["y"])) for row in csv.DictReader(f)}


def test_sizes_from_the_node_table_keep_nodes_apart(tmp_path: Path) -> None:
    nodes = tmp_path / "nodes.csv"
    nodes.write_text(
        "id,size\nhub,4\n" + "".join(f"leaf{i},2\n" for i in range(12)), encoding="utf-8"
    )
    out = tmp_path / "out.csv"
    code = cli.main(
        [
            str(star_file(tmp_path)),
            "--nodes",
            str(nodes),
            "-o",
            str(out),
            "--iterations",
            "2000",
            "--no-barnes-hut",
        ]
    )
    assert code == 0
    positions = read_positions(out)
    size = {"hub": 4.0} | {f"leaf{i}": 2.0 for i in range(12)}
    names = list(positions)
    for i, a in enumerate(names):
        for b in names[i + 1 :]:
            gap = np.hypot(*np.subtract(positions[a], positions[b]))
            assert gap >= 0.95 * (size[a] + size[b]), (a, b, gap)


def test_fix_pos_keeps_an_earlier_picture_and_places_new_nodes(tmp_path: Path) -> None:
    first = tmp_path / "first.csv"
    assert cli.main([str(star_file(tmp_path, 8)), "-o", str(first), "--iterations", "300"]) == 0
    grown = star_file(tmp_path, 10)  # two new leaves
    second = tmp_path / "second.csv"
    code = cli.main(
        [str(grown), "--pos", str(first), "--fix-pos", "-o", str(second), "--iterations", "300"]
    )
    assert code == 0
    before, after = read_positions(first), read_positions(second)
    assert all(after[node] == before[node] for node in before)
    hub = np.array(after["hub"])
    reach = max(np.hypot(*(np.array(before[n]) - hub)) for n in before)
    assert all(np.hypot(*(np.array(after[f"leaf{i}"]) - hub)) < 2 * reach for i in (8, 9))


@pytest.mark.parametrize(
    ("table", "argv", "message"),
    [
        ("id,colour\na,red\n", ["--nodes"], "unknown column 'colour'"),
        ("id,size\nhub,big\n", ["--nodes"], "size must be a number, not 'big'"),
        ("id,fixed\nhub,maybe\n", ["--nodes"], "fixed must be true or false"),
        ("id,size\nhub,-3\n", ["--nodes"], "of node 'hub' is -3.0"),
        (None, ["--fix-pos"], "--fix-pos needs --pos FILE"),
    ],
    ids=["column", "number", "flag", "range", "fix-without-pos"],
)
def test_bad_node_tables_are_one_line_and_status_2(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    table: str | None,
    argv: list[str],
    message: str,
) -> None:
    extra = list(argv)
    if table is not None:
        path = tmp_path / "nodes.csv"
        path.write_text(table, encoding="utf-8")
        extra.append(str(path))
    assert cli.main([str(star_file(tmp_path)), "--iterations", "5", *extra]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


def test_unknown_nodes_in_a_table_are_a_warning(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "nodes.csv"
    path.write_text("id,size\nhub,2\nghost,3\n", encoding="utf-8")
    assert cli.main([str(star_file(tmp_path)), "--nodes", str(path), "--iterations", "5"]) == 0
    assert "1 node(s) of the node tables are not in the graph" in capsys.readouterr().err
