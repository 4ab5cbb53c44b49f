"""Files from and for Gephi: its GEXF 1.3 and CSV exports, and layouts continued from a file."""

from __future__ import annotations

import csv
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from tallow_forceatlas2 import layout
from tallow_forceatlas2.cli import main

# Gephi writes GEXF 1.3, which networkx reads from 3.5 on (CPython 3.10 has 3.4).
pytestmark = pytest.mark.skipif(
    tuple(int(part) for part in nx.__version__.split(".")[:2]) < (3, 5),
    reason="networkx reads GEXF 1.3 from 3.5 on",
)

pytest.importorskip("networkx")

QUIET = ["--no-progress"]

# As Gephi 0.10 exports a graph: GEXF 1.3 namespaces, numeric ids and the
# names in labels, attributes declared with an id and a title.
GEPHI_GEXF = """<?xml version='1.0' encoding='UTF-8'?>
<gexf xmlns="http://gexf.net/1.3" version="1.3" xmlns:viz="http://gexf.net/1.3/viz" \
xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" \
xsi:schemaLocation="http://gexf.net/1.3 http://gexf.net/1.3/gexf.xsd">
  <meta lastmodifieddate="2024-03-01">
    <creator>Gephi 0.10.1</creator>
    <title></title>
    <description></description>
  </meta>
  <graph defaultedgetype="undirected" mode="static">
    <attributes class="node" mode="static">
      <attribute id="modularity_class" title="Modularity Class" type="integer"></attribute>
    </attributes>
    <nodes>
{nodes}
    </nodes>
    <edges>
      <edge id="0" source="1" target="0" weight="2.0"></edge>
      <edge id="1" source="2" target="0" weight="1.0"></edge>
    </edges>
  </graph>
</gexf>
"""
GEPHI_NODE = """      <node id="{id}" label="{label}">
        <attvalues>
          <attvalue for="modularity_class" value="{group}"></attvalue>
        </attvalues>
        <viz:size value="10.0"></viz:size>
        <viz:position x="{x}" y="{y}" z="0.0"></viz:position>
        <viz:color r="235" g="81" b="72"></viz:color>
      </node>"""
NAMES = ["Myriel", "Napoleon", "Mlle Baptistine"]
XY = [(-266.5, 299.75), (-418.0, 446.25), (12.125, -3.0)]

# As Gephi writes GraphML: x and y as node keys of type float.
GEPHI_GRAPHML = """<?xml version="1.0" encoding="UTF-8"?>
<graphml xmlns="http://graphml.graphdrawing.org/xmlns">
<key attr.name="label" attr.type="string" for="node" id="label"/>
<key attr.name="x" attr.type="float" for="node" id="x"/>
<key attr.name="y" attr.type="float" for="node" id="y"/>
<graph edgedefault="undirected">
{nodes}
<edge source="1" target="0"/>
<edge source="2" target="0"/>
</graph>
</graphml>
"""
GRAPHML_NODE = (
    '<node id="{id}"><data key="label">{label}</data>'
    '<data key="x">{x}</data><data key="y">{y}</data></node>'
)


def gephi_gexf(path: Path) -> Path:
    nodes = "\n".join(
        GEPHI_NODE.format(id=i, label=name, group=i % 2, x=x, y=y)
        for i, (name, (x, y)) in enumerate(zip(NAMES, XY))
    )
    path.write_text(GEPHI_GEXF.format(nodes=nodes), encoding="utf-8")
    return path


def gephi_graphml(path: Path) -> Path:
    nodes = "\n".join(
        GRAPHML_NODE.format(id=i, label=name, x=x, y=y)
        for i, (name, (x, y)) in enumerate(zip(NAMES, XY))
    )
    path.write_text(GEPHI_GRAPHML.format(nodes=nodes), encoding="utf-8")
    return path


def positions_table(path: Path) -> dict[str, tuple[float, float]]:
    with path.open(encoding="utf-8", newline="") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["node", "x", "y"]
    return {row[0]: (float(row[1]), float(row[2])) for row in rows[1:]}


def test_gephi_gexf_nodes_are_named_by_their_labels(tmp_path: Path) -> None:
    graph, out = gephi_gexf(tmp_path / "g.gexf"), tmp_path / "p.csv"
    assert main([str(graph), "-o", str(out), "--iterations", "5", *QUIET]) == 0
    assert sorted(positions_table(out)) == sorted(NAMES)


@pytest.mark.parametrize("suffix", [".gexf", ".graphml"])
def test_zero_iterations_from_the_input_file_return_its_positions(
    tmp_path: Path, suffix: str
) -> None:
    make = gephi_gexf if suffix == ".gexf" else gephi_graphml
    graph, out = make(tmp_path / f"g{suffix}"), tmp_path / "p.csv"
    argv = [str(graph), "--pos", str(graph), "--iterations", "0", "-o", str(out), *QUIET]
    assert main(argv) == 0
    expected = dict(zip(NAMES, XY)) if suffix == ".gexf" else dict(zip("012", XY))
    assert positions_table(out) == expected


def test_layout_written_as_gexf_continues_where_it_stopped(tmp_path: Path) -> None:
    edges, first, second = tmp_path / "e.csv", tmp_path / "first.gexf", tmp_path / "p.csv"
    edges.write_text("a,b\nb,c\nc,a\nc,d\n", encoding="utf-8")
    before = tmp_path / "before.csv"
    assert main([str(edges), "--iterations", "25", "-o", str(first), "-o", str(before)]) == 0
    argv = [str(first), "--pos", str(first), "--iterations", "0", "-o", str(second), *QUIET]
    assert main(argv) == 0
    assert positions_table(second) == positions_table(before)


def test_another_graph_file_places_the_nodes_it_shares(tmp_path: Path) -> None:
    placed = gephi_gexf(tmp_path / "placed.gexf")
    edges, out = tmp_path / "e.csv", tmp_path / "p.csv"
    edges.write_text("Myriel,Napoleon\nNapoleon,newcomer\n", encoding="utf-8")
    argv = [str(edges), "--pos", str(placed), "--fix-pos", "--iterations", "10", "-o", str(out)]
    assert main([*argv, *QUIET]) == 0
    result = positions_table(out)
    assert result["Myriel"] == XY[0] and result["Napoleon"] == XY[1]
    assert set(result) == {"Myriel", "Napoleon", "newcomer"}


def test_graph_file_without_positions_is_refused_for_pos(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    graph = tmp_path / "g.graphml"
    graph.write_text(
        '<graphml xmlns="http://graphml.graphdrawing.org/xmlns"><graph edgedefault="undirected">'
        '<node id="a"/><node id="b"/><edge source="a" target="b"/></graph></graphml>',
        encoding="utf-8",
    )
    assert main([str(graph), "--pos", str(graph), *QUIET]) == 2
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and "no node positions" in err[0]


def test_help_says_how_to_continue_a_layout(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "viz:position" in text and ".gexf" in text


@pytest.mark.parametrize("attribute", ["modularity_class", "Modularity Class"])
def test_community_attribute_by_id_or_title(tmp_path: Path, attribute: str) -> None:
    graph, out = gephi_gexf(tmp_path / "g.gexf"), tmp_path / "out.gexf"
    argv = [str(graph), "--community-attribute", attribute, "--iterations", "3", "-o", str(out)]
    assert main([*argv, *QUIET]) == 0
    text = out.read_text(encoding="utf-8")
    assert text.count('<attvalue for="community" value="0"/>') == 2
    assert text.count('<attvalue for="community" value="1"/>') == 1


def test_unknown_community_attribute_is_warned_with_the_known_ones(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    graph = gephi_gexf(tmp_path / "g.gexf")
    argv = [str(graph), "--community-attribute", "modularity", "--iterations", "3", *QUIET]
    assert main(argv) == 0
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and err[0].startswith("tallow-fa2: warning: ")
    assert "'modularity'" in err[0] and "'modularity_class'" in err[0]


@pytest.mark.parametrize(
    ("header", "timeset"),
    [
        ("Source,Target,Type,Id,Label,Weight", False),
        ("Source,Target,Type,Id,Label,timeset,Weight", True),
        ('"Source","Target","Type","Id","Label","Weight"', False),
    ],
)
def test_gephi_edge_table_export(tmp_path: Path, header: str, timeset: bool) -> None:
    edges = [("n0", "n1", "", "2.0"), ("n1", "n2", "friend", "1.5"), ("n2", "n0", "", "1.0")]
    rows = [
        ",".join([u, v, "Undirected", str(k), label, *([""] if timeset else []), weight])
        for k, (u, v, label, weight) in enumerate(edges)
    ]
    path, out = tmp_path / "edges.csv", tmp_path / "p.csv"
    path.write_text("\n".join([header, *rows]) + "\n", encoding="utf-8")
    assert main([str(path), "-o", str(out), "--iterations", "30", *QUIET]) == 0
    result = positions_table(out)
    assert list(result) == ["n0", "n1", "n2"]
    expected = layout([[0, 1], [1, 2], [2, 0]], weights=[2.0, 1.5, 1.0], iterations=30)
    got = np.array(list(result.values()))
    assert np.array_equal(got.astype(np.float32), expected.astype(np.float32))


def test_gephi_edge_table_names_a_bad_weight_by_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "edges.csv"
    path.write_text("Source,Target,Type,Id,Label,Weight\na,b,Undirected,0,,-1\n", encoding="utf-8")
    assert main([str(path), *QUIET]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == [f"tallow-fa2: error: {path}:2: weight '-1' is not a finite number >= 0"]


def test_repeated_gexf_labels_fall_back_to_ids_with_one_warning(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    graph, out = gephi_gexf(tmp_path / "g.gexf"), tmp_path / "p.csv"
    graph.write_text(
        graph.read_text(encoding="utf-8").replace('label="Napoleon"', 'label="Myriel"'),
        encoding="utf-8",
    )
    argv = [str(graph), "--pos", str(graph), "--iterations", "0", "-o", str(out), *QUIET]
    assert main(argv) == 0
    err = capsys.readouterr().err.splitlines()
    warning = "node labels repeat (first: 'Myriel'), so nodes are named by their ids"
    assert err == [f"tallow-fa2: warning: {graph}: {warning}"]
    assert positions_table(out) == dict(zip("012", XY))


@pytest.mark.parametrize(("codec", "declared"), [("utf-16", "UTF-16"), ("utf-8-sig", "UTF-8")])
def test_xml_in_utf16_or_with_a_byte_order_mark_is_still_text(
    tmp_path: Path, codec: str, declared: str
) -> None:
    graph, out = tmp_path / "g.graphml", tmp_path / "p.csv"
    text = gephi_graphml(graph).read_text(encoding="utf-8")
    graph.write_bytes(text.replace('encoding="UTF-8"', f'encoding="{declared}"').encode(codec))
    argv = [str(graph), "--pos", str(graph), "--iterations", "0", "-o", str(out), *QUIET]
    assert main(argv) == 0
    assert positions_table(out) == dict(zip("012", XY))


def test_coordinates_that_are_not_numbers_matter_only_to_pos(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    graph = gephi_graphml(tmp_path / "g.graphml")
    text = graph.read_text(encoding="utf-8").replace('attr.type="float"', 'attr.type="string"')
    graph.write_text(text.replace(">-418.0<", ">left<"), encoding="utf-8")
    assert main([str(graph), "--iterations", "1", *QUIET]) == 0
    capsys.readouterr()
    assert main([str(graph), "--pos", str(graph), *QUIET]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == [f"tallow-fa2: error: {graph}: node '1' has a position that is not two numbers"]
