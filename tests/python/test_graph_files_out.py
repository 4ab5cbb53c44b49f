"""Laid-out graphs written as GEXF and GraphML read back with networkx; weight-name warnings."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from tallow_forceatlas2 import layout
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.io import write_gexf, write_graphml

nx = pytest.importorskip("networkx")


def labelled_graph() -> object:
    G = nx.Graph()
    G.add_edge("ann", "bob & co", weight=2.0)
    G.add_edge("bob & co", "<cy>", weight=0.5)
    G.add_edge("dee", "eve", weight=1.0)
    return G


def test_gexf_holds_positions_sizes_colours_and_weights(tmp_path: Path) -> None:
    G = labelled_graph()
    positions = layout(G, iterations=20)
    path = tmp_path / "g.gexf"
    write_gexf(path, G, positions, communities=["a", "a", "a", "b", "b"])
    back = nx.read_gexf(path)
    assert list(back) == list(G)
    for node, xy in zip(G, positions):
        viz = back.nodes[node]["viz"]
        assert np.float32(viz["position"]["x"]) == np.float32(xy[0])
        assert np.float32(viz["position"]["y"]) == np.float32(xy[1])
        assert viz["size"] > 0 and set(viz["color"]) >= {"r", "g", "b"}
    colours = [tuple(back.nodes[n]["viz"]["color"][c] for c in "rgb") for n in G]
    assert colours[0] == colours[1] != colours[3] == colours[4]
    assert back.nodes["dee"]["community"] == "b"
    assert back["ann"]["bob & co"]["weight"] == 2.0


def test_graphml_holds_x_and_y(tmp_path: Path) -> None:
    G = labelled_graph()
    positions = layout(G, iterations=20)
    path = tmp_path / "g.graphml"
    write_graphml(path, G, positions)
    back = nx.read_graphml(path)
    got = np.array([[back.nodes[n]["x"], back.nodes[n]["y"]] for n in G])
    assert np.array_equal(got.astype(np.float32), positions.astype(np.float32))
    assert back["bob & co"]["<cy>"]["weight"] == 0.5


@pytest.mark.parametrize("suffix", [".gexf", ".graphml"])
def test_command_line_writes_graph_files(tmp_path: Path, suffix: str) -> None:
    edges = tmp_path / "g.csv"
    edges.write_text("a,b,3\nb,c,1\nc,a,1\n", encoding="utf-8")
    out, table = tmp_path / ("out" + suffix), tmp_path / "p.npz"
    assert main([str(edges), "-o", str(out), "-o", str(table), "--iterations", "9"]) == 0
    back = (nx.read_gexf if suffix == ".gexf" else nx.read_graphml)(out)
    with np.load(table) as saved:
        names, positions = saved["nodes"].tolist(), saved["positions"]
    assert list(back) == names == ["a", "b", "c"]
    for name, xy in zip(names, positions):
        data = back.nodes[name]
        x, y = (
            (data["viz"]["position"][c] for c in "xy")
            if suffix == ".gexf"
            else (data["x"], data["y"])
        )
        assert (np.float32(x), np.float32(y)) == tuple(xy.astype(np.float32))
    assert back["a"]["b"]["weight"] == 3.0


def test_graph_file_writer_checks_positions(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match=r"positions must have shape \(5, 2\)"):
        write_gexf(tmp_path / "g.gexf", labelled_graph(), np.zeros((4, 2)))


@pytest.mark.parametrize(
    ("weight", "warned"),
    [("wieght", "the edges have 'weight'"), ("w", "the edges have 'weight'"), ("weight", None)],
)
def test_misspelt_weight_attribute_warns(weight: str, warned: str | None) -> None:
    G = labelled_graph()
    if warned is None:
        layout(G, weight=weight, iterations=1)
        return
    with pytest.warns(UserWarning, match=f"no edge has a '{weight}' attribute") as record:
        unweighted = layout(G, weight=weight, iterations=5)
    assert warned in str(record[0].message)
    assert np.array_equal(unweighted, layout(G, weight=None, iterations=5))


def test_misspelt_weight_attribute_warns_for_igraph() -> None:
    ig = pytest.importorskip("igraph")
    g = ig.Graph([(0, 1), (1, 2)])
    g.es["Weight"] = [1.0, 4.0]
    with pytest.warns(UserWarning, match="no edge has a 'weight' attribute.*'Weight'"):
        layout(g, iterations=1)


def test_unweighted_graph_with_default_weight_is_quiet() -> None:
    G = nx.path_graph(4)
    G.add_edge(0, 1, colour="red")
    layout(G, iterations=1)  # warnings are errors in this test suite
