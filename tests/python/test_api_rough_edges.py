"""What users tripped over: igraph graphs and position dicts, colours and legends that
disagree with the picture, loose component packing, help texts, warnings and progress bars."""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2 import forceatlas2_layout, layout
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.draw import connected_components, pack_components
from tallow_forceatlas2.io import write_gexf, write_graphml
from tallow_forceatlas2.io.writers import write_positions

nx = pytest.importorskip("networkx")
ig = pytest.importorskip("igraph")

VIZ = "{http://www.gexf.net/1.2draft/viz}"


def small_igraph() -> Any:
    graph = ig.Graph(edges=[(0, 1), (1, 2), (2, 0), (2, 3), (4, 5)])
    graph.vs["name"] = ["a", "b", "c", "d", "e", "a"]  # names may repeat
    return graph


def small_networkx() -> Any:
    return nx.relabel_nodes(nx.karate_club_graph(), {0: "zero", 33: "last"})


# --- forceatlas2_layout on every graph kind; writers taking its dict -------------


@pytest.mark.parametrize(
    ("make", "keys"),
    [
        (small_igraph, list(range(6))),
        (small_networkx, list(small_networkx())),
        (lambda: np.array([[0, 1], [1, 2], [3, 2]]), [0, 1, 2, 3]),
    ],
    ids=["igraph", "networkx", "edge-array"],
)
def test_forceatlas2_layout_keys_every_graph_kind(make: Callable[[], Any], keys: list[Any]) -> None:
    graph = make()
    pos = forceatlas2_layout(graph, iterations=30)
    assert list(pos) == keys
    assert np.array_equal(
        np.array(list(pos.values())), layout(graph, iterations=30, multilevel=False)
    )
    # The result is a valid start: keyed as pos= mappings are for that graph.
    again = forceatlas2_layout(graph, pos, iterations=0)
    assert all(np.array_equal(again[k], pos[k].astype(np.float32)) for k in keys)


def test_forceatlas2_layout_keys_a_dataframe_by_its_labels() -> None:
    pd = pytest.importorskip("pandas")
    table = pd.DataFrame({"source": ["x", "y", "z"], "target": ["y", "z", "w"]})
    assert list(forceatlas2_layout(table, iterations=5)) == ["x", "y", "z", "w"]


@pytest.mark.parametrize("make", [small_igraph, small_networkx], ids=["igraph", "networkx"])
@pytest.mark.parametrize(
    "write",
    [
        lambda path, g, p: write_gexf(path.with_suffix(".gexf"), g, p, weight=None),
        lambda path, g, p: write_graphml(path.with_suffix(".graphml"), g, p, weight=None),
    ],
    ids=["gexf", "graphml"],
)
def test_graph_writers_take_the_dict_forceatlas2_layout_returns(
    tmp_path: Path, make: Callable[[], Any], write: Callable[[Path, Any, Any], None]
) -> None:
    graph = make()
    pos = forceatlas2_layout(graph, iterations=20)
    write(tmp_path / "from_dict", graph, pos)
    write(tmp_path / "from_array", graph, np.array(list(pos.values())))
    (dict_file,) = tmp_path.glob("from_dict.*")
    (array_file,) = tmp_path.glob("from_array.*")
    assert dict_file.read_bytes() == array_file.read_bytes()


@pytest.mark.parametrize("suffix", [".csv", ".json", ".npz"])
def test_position_files_take_a_mapping(tmp_path: Path, suffix: str) -> None:
    nodes = ["p", "q", "r"]
    array = np.array([[0.5, 1.0], [2.0, -3.25], [4.0, 8.0]])
    write_positions(tmp_path / f"a{suffix}", nodes, array)
    write_positions(tmp_path / f"m{suffix}", nodes, {"r": array[2], "p": (0.5, 1.0), "q": array[1]})
    assert (tmp_path / f"a{suffix}").read_bytes() == (tmp_path / f"m{suffix}").read_bytes()


@pytest.mark.parametrize(
    ("pos", "message"),
    [
        ({0: (0, 0), 1: (1, 1)}, r"no \(x, y\) for node 2"),
        ({0: (0, 0), 1: (1, 1), 2: (2, 2), 3: (3, 3), 9: (9, 9)}, r"for 9, which is not a node"),
        ({k: (k, k, k) for k in range(4)}, r"shape \(4, 2\)"),
    ],
    ids=["missing", "extra", "not-pairs"],
)
def test_position_mappings_must_match_the_graph(tmp_path: Path, pos: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        write_gexf(tmp_path / "g.gexf", np.array([[0, 1], [2, 3]]), pos)


# --- the same colours in pictures and graph files; a legend on big pictures -------


def picture_colours(edges: np.ndarray, positions: np.ndarray, communities: Any) -> np.ndarray:
    """The RGB each node is drawn with in a matplotlib picture, in node order."""
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    from tallow_forceatlas2.draw.plot import draw_layout

    ax = Figure().add_subplot()
    draw_layout(ax, edges, positions, communities=communities, legend=False)
    dots = ax.collections[-1]
    drawn = {
        tuple(xy): rgba[:3] for xy, rgba in zip(dots.get_offsets().tolist(), dots.get_facecolors())
    }
    return np.array([drawn[tuple(xy)] for xy in positions.tolist()])


@pytest.mark.parametrize(
    "communities", [None, [f"c{i % 13}" for i in range(60)]], ids=["degree", "13-communities"]
)
def test_gexf_colours_are_the_pictures(tmp_path: Path, communities: Any) -> None:
    graph = nx.barabasi_albert_graph(60, 2, seed=3)
    positions = layout(graph, iterations=20)
    write_gexf(tmp_path / "g.gexf", graph, positions, communities=communities)
    written = np.array(
        [[int(c.get(k)) for k in "rgb"] for c in ET.parse(tmp_path / "g.gexf").iter(f"{VIZ}color")]
    )
    edges = np.array(graph.edges())
    expected = np.rint(picture_colours(edges, positions, communities) * 255)
    assert np.array_equal(written, expected)


def test_community_legend_names_the_coloured_communities_and_the_rest() -> None:
    from tallow_forceatlas2.draw.big import community_legend

    communities = [f"c{i % 12:02d}" for i in range(120)] + [""] * 5
    entries = community_legend(communities)
    assert [text for _, text in entries[:2]] == ["c00 (10)", "c01 (10)"]
    assert entries[-1][1] == "2 more communities + no community (25)"
    assert len({colour for colour, _ in entries}) == 11


@pytest.mark.parametrize("communities", [None, ["one"] * 300 + ["two"] * 200 + ["three"] * 100])
def test_big_pictures_have_a_legend(tmp_path: Path, communities: Any) -> None:
    pytest.importorskip("datashader")
    from PIL import Image
    from tallow_forceatlas2.draw.big import save_big_picture

    # An L of nodes leaves the upper right quarter empty but for a legend.
    rng = np.random.default_rng(0)
    positions = rng.uniform(0, 1, (1500, 2))
    positions = positions[(positions < 0.5).any(axis=1)][:600]
    edges = np.stack([np.arange(599), np.arange(1, 600)], axis=1)
    out = tmp_path / "big.png"
    save_big_picture(out, edges, positions, communities=communities, width=400, height=400)
    with Image.open(out) as image:
        corner = np.asarray(image.convert("RGB"))[:190, 210:]
    colours = {tuple(rgb) for rgb in corner.reshape(-1, 3).tolist()}
    wanted = [(31, 119, 180), (255, 127, 14), (44, 160, 44)] if communities else [(253, 231, 37)]
    assert all(colour in colours for colour in wanted)
    assert any(max(rgb) < 80 for rgb in colours)  # text


# --- packing components tightly -------------------------------------------------


def scattered_components(seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Square grids of many sizes, strewn far apart, as edges and positions."""
    rng = np.random.default_rng(seed)
    sides = [12, *rng.integers(2, 9, 40).tolist()]
    edges, points, first = [], [], 0
    for side in sides:
        grid = nx.convert_node_labels_to_integers(nx.grid_2d_graph(side, side), first_label=first)
        edges += list(grid.edges())
        corner = rng.uniform(-500, 500, 2)
        points += [corner + (i // side, i % side) for i in range(side * side)]
        first += side * side
    return np.array(edges), np.array(points, dtype=np.float64)


def box_area(points: np.ndarray) -> float:
    extent = points.max(axis=0) - points.min(axis=0)
    return float(extent[0] * extent[1])


@pytest.mark.parametrize("seed", [0, 1, 2], ids=lambda s: f"seed={s}")
def test_packed_components_fill_their_bounding_box(seed: int) -> None:
    edges, positions = scattered_components(seed)
    packed = pack_components(edges, positions)
    labels = connected_components(len(positions), edges)
    boxes = [packed[labels == c] for c in range(labels.max() + 1)]
    assert np.array_equal(packed[labels == 0], positions[labels == 0])  # the largest stays
    for c, members in enumerate(boxes):
        shift = members - positions[labels == c]
        assert np.allclose(shift, shift[0])  # moved whole
    # Tight: margins and gaps take less than the components' own boxes
    # (1.40 to 1.52 here; rings around the largest took 3.6).
    assert box_area(packed) < 1.75 * sum(box_area(b) for b in boxes)
    # Yet apart: no two components' boxes meet.
    low = np.array([b.min(axis=0) for b in boxes])
    high = np.array([b.max(axis=0) for b in boxes])
    meet = (low[:, None] <= high[None]) & (low[None] <= high[:, None])
    assert np.array_equal(meet.all(axis=2), np.eye(len(boxes), dtype=bool))


def test_isolated_nodes_pack_beside_the_main_component() -> None:
    edges, positions = scattered_components(0)
    main_part = 144  # the 12 x 12 grid comes first
    alone = np.random.default_rng(5).uniform(-5000, 5000, (300, 2))
    grid_edges = edges[(edges < main_part).all(axis=1)]
    packed = pack_components(grid_edges, np.vstack([positions[:main_part], alone]))
    # An isolated node takes about the room of a node of the grid (whose edges are 1 long).
    assert box_area(packed) < 1.6 * (box_area(positions[:main_part]) + len(alone))
    assert len(np.unique(packed[main_part:], axis=0)) == 300  # none on top of another


# --- help texts, warnings, progress bars ----------------------------------------


def test_help_states_the_defaults_that_apply(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "(default: False)" not in text and "(default: True)" not in text
    overlap = re.search(r"--no-prevent-overlap\s+(.*?\))", text)
    assert overlap is not None and "on when --nodes gives sizes" in overlap.group(1)
    iterations = re.search(r"--iterations N\s+(.*?\))", text)
    assert iterations is not None and "--multilevel, 30" in iterations.group(1)


def test_overlap_is_on_with_sizes_as_the_help_says(tmp_path: Path) -> None:
    graph, nodes, out = tmp_path / "g.csv", tmp_path / "n.csv", tmp_path / "p.npy"
    graph.write_text("a,b\nb,c\nc,a\n", encoding="utf-8")
    nodes.write_text("node,size\na,3\nb,3\nc,3\n", encoding="utf-8")
    runs = []
    for flag in ([], ["--prevent-overlap"], ["--no-prevent-overlap"]):
        assert (
            main([str(graph), "--nodes", str(nodes), "-o", str(out), "--no-progress", *flag]) == 0
        )
        runs.append(np.load(out))
    assert np.array_equal(runs[0], runs[1]) and not np.array_equal(runs[0], runs[2])


def weighted_nx() -> Any:
    graph = nx.path_graph(4)
    nx.set_edge_attributes(graph, 1.0, "weights")  # not "weight": a warning
    return graph


def missing_attribute_igraph() -> Any:
    return ig.Graph(edges=[(0, 1), (1, 2)])


CALLS = {
    "layout-weight": lambda: layout(weighted_nx(), weight="weight", iterations=1),
    "forceatlas2_layout-weight": lambda: forceatlas2_layout(weighted_nx(), iterations=1),
    "networkx-backend": lambda: nx.forceatlas2_layout(
        weighted_nx(), weight="weight", max_iter=1, backend="tallow"
    ),
    "layout-node_size": lambda: layout(
        missing_attribute_igraph(), node_size="radius", iterations=1
    ),
    "forceatlas2_layout-node_mass": lambda: forceatlas2_layout(
        missing_attribute_igraph(), node_mass="m", iterations=1
    ),
    "write_graphml-weight": lambda: write_graphml(os.devnull, weighted_nx(), np.zeros((4, 2))),
}


@pytest.mark.parametrize("name", CALLS)
def test_warnings_point_at_the_callers_line(name: str) -> None:
    dispatches = tuple(int(part) for part in nx.__version__.split(".")[:2]) >= (3, 5)
    if name == "networkx-backend" and not dispatches:
        pytest.skip("networkx dispatches layouts from 3.5 on")
    call = CALLS[name]
    with pytest.warns(UserWarning, match="no (edge|node) has") as caught:
        call()
    assert [Path(w.filename) for w in caught] == [Path(__file__)] * len(caught)
    first = call.__code__.co_firstlineno  # the line of the call, or the next two
    assert all(first <= w.lineno <= first + 2 for w in caught)


def test_a_progress_bar_in_a_pipe_ends_at_its_total(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("tqdm")
    from tallow_forceatlas2 import progress

    monkeypatch.setattr(progress, "BAR_DELAY_SECONDS", 0.0)
    graph = tmp_path / "g.csv"
    graph.write_text("".join(f"{i},{i + 1}\n" for i in range(50)), encoding="utf-8")
    out = tmp_path / "p.npy"
    assert main([str(graph), "--progress", "--iterations", "700", "-o", str(out)]) == 0
    shown = [part for part in re.split(r"[\r\n]", capsys.readouterr().err) if part.strip()]
    assert shown and "700/700" in shown[-1]
