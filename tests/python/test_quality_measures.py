"""The quality benchmark's measures and graphs score known pictures as they should."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("networkx")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

import quality_families
import quality_graphs as graphs
import quality_measures as measures
from quality_methods import parse_keywords


@pytest.fixture(scope="module")
def grid() -> graphs.Graph:
    return graphs.grid(30)


def links(graph: graphs.Graph) -> object:
    return measures.adjacency(graph.n_nodes, graph.edges)


def shuffled(pos: np.ndarray) -> np.ndarray:
    return pos[np.random.default_rng(3).permutation(len(pos))]


def knotted(pos: np.ndarray, knots: int = 5) -> np.ndarray:
    """Each knots x knots block of the lattice pulled tight around its centre."""
    block = np.floor(pos / (pos.max() / knots + 1e-9))
    return block * 100.0 + (pos - block * pos.max() / knots) * 0.05


def test_neighbourhood_preservation_is_near_one_for_the_true_grid_and_low_for_a_shuffle(grid):
    # Not quite 1: near the border, graph balls are Manhattan and picture neighbourhoods round.
    assert measures.neighbourhood_preservation(grid.truth, links(grid)) > 0.97
    assert measures.neighbourhood_preservation(shuffled(grid.truth), links(grid)) < 0.05


@pytest.mark.parametrize("scale", [1.0, 7.5, 1e-3], ids=lambda s: f"scale={s}")
def test_stress_is_zero_for_a_path_drawn_on_a_line_at_any_scale(scale):
    n = 200
    edges = graphs.simple_edges(np.arange(n - 1), np.arange(1, n))
    line = np.stack([np.arange(n) * scale, np.zeros(n)], axis=1)
    assert measures.stress(line, measures.adjacency(n, edges)) < 1e-12
    assert measures.stress(shuffled(line), measures.adjacency(n, edges)) > 0.3


def test_truth_spearman_ignores_rotation_and_scale_but_not_a_shuffle(grid):
    turn = np.array([[0.6, -0.8], [0.8, 0.6]])
    assert measures.truth_spearman(3.0 * grid.truth @ turn, grid.truth) == pytest.approx(
        1.0, abs=1e-4
    )
    assert abs(measures.truth_spearman(shuffled(grid.truth), grid.truth)) < 0.05


def test_clumping_is_one_for_a_lattice_and_low_for_knots(grid):
    assert measures.clumping(grid.truth, links(grid)) == pytest.approx(1.0, abs=0.1)
    assert measures.clumping(knotted(grid.truth), links(grid)) < 0.2


def test_clumping_ignores_small_pieces_drawn_far_away(grid):
    n = grid.n_nodes  # the grid and two isolated nodes far out
    spread = np.concatenate([grid.truth, [[1e4, 0.0], [0.0, 1e4]]])
    with_specks = measures.adjacency(n + 2, grid.edges)
    assert measures.clumping(spread, with_specks) == measures.clumping(grid.truth, links(grid))


def test_one_piece_sees_a_component_torn_in_two_and_ignores_small_ones(grid):
    assert measures.one_piece(grid.truth, links(grid)) == (1, 1)
    torn = grid.truth + np.where(grid.truth[:, :1] < 15, 0.0, 40.0)
    assert measures.one_piece(torn, links(grid)) == (0, 1)
    assert measures.one_piece(knotted(grid.truth), links(grid)) == (0, 1)
    tiny = graphs.grid(5)  # 25 nodes: below the size counted
    assert measures.one_piece(tiny.truth, links(tiny)) == (0, 0)


def test_branch_separation_is_small_when_branches_are_apart_and_near_one_when_mixed():
    tree = graphs.binary_tree(8)
    rng = np.random.default_rng(0)
    apart = rng.random((tree.n_nodes, 2)) + 10.0 * np.stack([tree.branch, tree.branch], axis=1)
    assert measures.branch_separation(apart, tree.branch) < 0.2
    assert measures.branch_separation(rng.random((tree.n_nodes, 2)), tree.branch) > 0.8


def test_binary_tree_branches_are_the_depth_three_subtrees():
    tree = graphs.binary_tree(5)
    assert tree.n_nodes == 63 and len(tree.edges) == 62
    assert np.array_equal(np.bincount(tree.branch[tree.branch >= 0]), [7] * 8)
    assert np.all(tree.branch[:7] == -1)
    parent = {int(v): int(u) for u, v in tree.edges}
    assert all(tree.branch[v] == tree.branch[parent[v]] for v in range(15, 63))


@pytest.mark.parametrize(
    "spec", ["grid:12", "rgg:2000", "mesh:500", "rtree:300", "er:500", "ba:300", "knn2d:400",
             "knn20d:400", "planted:1000", "karate", "davis"],
)  # fmt: skip
def test_every_family_gives_a_simple_undirected_graph(spec):
    graph = graphs.make_graph(spec)
    u, v = graph.edges[:, 0].astype(np.int64), graph.edges[:, 1].astype(np.int64)
    assert np.all(u < v) and v.max() < graph.n_nodes
    assert len(np.unique(u * graph.n_nodes + v)) == len(u)
    assert np.array_equal(graph.edges, graphs.make_graph(spec).edges)  # same seed, same graph


@pytest.mark.parametrize("spec", ["grid", "grid:0", "grid:x", "nope:10", "tree15"])
def test_unknown_graph_names_are_refused(spec):
    with pytest.raises(ValueError, match="unknown graph"):
        graphs.resolve(spec)


def test_ours_keywords_are_read_as_python_values():
    text = "picture=faithful,iterations=500,lin_log=True,gravity=0.5,pos=None"
    assert parse_keywords(text) == {
        "picture": "faithful", "iterations": 500, "lin_log": True, "gravity": 0.5, "pos": None,
    }  # fmt: skip
    with pytest.raises(ValueError, match="name=value"):
        parse_keywords("faithful")


@pytest.mark.parametrize(
    "argv",
    [
        ["--methods", "default,nope"],
        ["--graphs", "grid:abc"],
        ["--ours-kw", "x"],
        ["--ours-kw", "no_such_keyword=1"],
        ["--ours-kw", "gravity=-1"],
    ],
)
def test_the_command_line_refuses_bad_names_with_status_2(argv, capsys):
    assert quality_families.main(argv) == 2
    assert capsys.readouterr().err.startswith("quality_families.py: ")
