"""The adaptive picture: communities drawn apart, meshes, trees and noise drawn faithfully."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from numpy.typing import NDArray
from scipy.sparse import coo_array
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree
from tallow_forceatlas2 import layout
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.multilevel import finest_level, hierarchy
from tallow_forceatlas2.multilevel.picture import choose_picture, group_evidence


def grid(side: int) -> NDArray[np.uint32]:
    index = np.arange(side * side).reshape(side, side)
    across = np.stack([index[:, :-1].ravel(), index[:, 1:].ravel()], axis=1)
    down = np.stack([index[:-1, :].ravel(), index[1:, :].ravel()], axis=1)
    return np.concatenate([across, down]).astype(np.uint32)


def binary_tree(depth: int) -> NDArray[np.uint32]:
    child = np.arange(1, 2 ** (depth + 1) - 1)
    return np.stack([(child - 1) // 2, child], axis=1).astype(np.uint32)


def planted(n: int, groups: int, between: float, degree: int = 10) -> NDArray[np.uint32]:
    """Each edge leaves its source's group with probability ``between``."""
    rng = np.random.default_rng(7)
    group = np.arange(n) % groups
    m = n * degree // 2
    sources = rng.integers(0, n, m)
    targets_group = np.where(
        rng.random(m) < between, (group[sources] + rng.integers(1, groups, m)) % groups,
        group[sources],
    )  # fmt: skip
    targets = targets_group + groups * rng.integers(0, n // groups, m)
    keep = sources != targets
    return np.stack([sources[keep], targets[keep]], axis=1).astype(np.uint32)


def random_graph(n: int, degree: int) -> NDArray[np.uint32]:
    rng = np.random.default_rng(5)
    pairs = rng.integers(0, n, (n * degree // 2, 2))
    return pairs[pairs[:, 0] != pairs[:, 1]].astype(np.uint32)


def separate_blobs(n: int, blobs: int, k: int = 8) -> NDArray[np.uint32]:
    """k-nearest-neighbour graph of well separated Gaussian blobs in 10 dimensions."""
    rng = np.random.default_rng(3)
    points = rng.normal(0, 30, (blobs, 10))[np.arange(n) % blobs] + rng.normal(0, 1, (n, 10))
    _, near = cKDTree(points).query(points, k + 1)
    pairs = np.stack([np.repeat(np.arange(n), k), near[:, 1:].ravel()], axis=1)
    return np.unique(np.sort(pairs, axis=1), axis=0).astype(np.uint32)


# Graph, and the picture the default should draw.
FAMILIES = {
    "grid 60x60": (grid(60), "faithful"),
    "binary tree depth 11": (binary_tree(11), "faithful"),
    "random graph degree 8": (random_graph(4000, 8), "faithful"),
    "separate blobs": (separate_blobs(3000, 6), "pieces"),
    "planted, 20 % between": (planted(4000, 8, 0.2), "clustered"),
    "planted, 35 % between": (planted(4000, 8, 0.35), "clustered"),
}


def levels_of(edges: NDArray[np.uint32]) -> list:  # type: ignore[type-arg]
    n = int(edges.max()) + 1
    return hierarchy(finest_level(n, edges, None, 1.0), np.random.default_rng(0), 300)


@pytest.mark.parametrize("family", list(FAMILIES))
def test_the_rule_tells_communities_from_meshes_trees_noise_and_pieces(family: str) -> None:
    edges, picture = FAMILIES[family]
    levels = levels_of(edges)
    found = group_evidence(levels)
    assert found.clustered == (picture == "clustered"), found
    assert 0.0 <= found.cut <= 1.0 and 0.0 <= found.inner_cut <= 1.0
    assert choose_picture(levels) == picture
    unclustered = "pieces" if picture == "pieces" else "faithful"
    assert choose_picture(levels, may_cluster=False) == unclustered


@pytest.mark.parametrize("family", ["grid 60x60", "planted, 20 % between"])
def test_the_default_draws_the_picture_the_rule_chose(family: str) -> None:
    edges, chosen = FAMILIES[family]
    other = "faithful" if chosen == "clustered" else "clustered"
    default = layout(edges, iterations=5)
    assert np.array_equal(default, layout(edges, iterations=5, picture=chosen))
    assert not np.array_equal(default, layout(edges, iterations=5, picture=other))


def test_a_graph_of_pieces_is_drawn_with_strong_gravity() -> None:
    edges, _ = FAMILIES["separate blobs"]
    expected = layout(edges, iterations=5, lin_log=False, strong_gravity=True)
    assert np.array_equal(layout(edges, iterations=5), expected)
    assert np.array_equal(layout(edges, iterations=5, picture="faithful"), expected)


def test_same_bits_for_every_thread_count_and_a_seed() -> None:
    edges = planted(4000, 8, 0.2)
    first = layout(edges, iterations=10, threads=1, seed=4)
    for threads in (2, 3):
        assert np.array_equal(first, layout(edges, iterations=10, threads=threads, seed=4))
    assert not np.array_equal(first, layout(edges, iterations=10, threads=1, seed=5))


def drawn_pieces(positions: NDArray[np.float64], reach: float) -> int:
    """Pieces of a drawing: points closer than ``reach`` joined, pieces of 5 % or more counted."""
    pairs = cKDTree(positions).query_pairs(reach, output_type="ndarray")
    n = len(positions)
    joined = coo_array((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    _, piece = connected_components(joined, directed=False)
    return int((np.bincount(piece) >= 0.05 * n).sum())


@pytest.mark.parametrize("family", ["grid 60x60", "separate blobs"])
def test_connected_pieces_are_drawn_as_one_piece(family: str) -> None:
    edges, _ = FAMILIES[family]
    n = int(edges.max()) + 1
    positions = layout(edges)
    _, component = connected_components(
        coo_array((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n)), directed=False
    )
    nearest = cKDTree(positions).query(positions, 2)[0][:, 1]
    reach = 4 * float(np.median(nearest))
    for label in np.unique(component):
        members = np.flatnonzero(component == label)
        if len(members) >= 50:
            assert drawn_pieces(positions[members], reach) == 1


@pytest.mark.parametrize(
    ("picture", "error", "match"),
    [
        ("knots", ValueError, "picture must be one of 'auto', 'faithful', 'clustered'"),
        (1, TypeError, "picture must be a string, not int"),
    ],
)
def test_a_wrong_picture_is_refused(picture: object, error: type, match: str) -> None:
    with pytest.raises(error, match=match):
        layout(np.array([[0, 1]]), picture=picture)  # type: ignore[arg-type]


def test_given_settings_win_over_the_picture() -> None:
    edges = grid(10)
    assert np.array_equal(
        layout(edges, iterations=20, picture="clustered", lin_log=False, strong_gravity=True),
        layout(edges, iterations=20, picture="faithful"),
    )


def test_the_command_line_takes_a_picture(tmp_path: Path) -> None:
    edges = grid(35)
    table = tmp_path / "edges.csv"
    table.write_text("".join(f"{u},{v}\n" for u, v in edges))
    out = tmp_path / "positions.npy"
    assert main([str(table), "-o", str(out), "--picture", "clustered", "--iterations", "5"]) == 0
    expected = layout(edges, iterations=5, picture="clustered")
    assert np.array_equal(np.load(out), expected)


def test_a_legacy_random_state_keeps_the_plain_layout() -> None:
    edges = grid(35)
    seeded = layout(edges, iterations=3, seed=np.random.RandomState(2))
    plain = layout(edges, iterations=3, seed=np.random.RandomState(2), multilevel=False)
    assert np.array_equal(seeded, plain)
