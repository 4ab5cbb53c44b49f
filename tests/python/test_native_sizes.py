"""layout_nodes with sizes and Barnes-Hut: nodes that meet in a leaf keep apart by their sizes."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_nodes, layout_raw

SIZED_BH = {"adjustSizes": True, "barnesHutOptimize": True, "barnesHutTheta": 1.2}


def star(n_nodes: int, seed: int) -> tuple[Any, ...]:
    """A hub and its leaves, which all pull to it: only sizes keep them apart."""
    edges = np.array([(0, i) for i in range(1, n_nodes)], dtype=np.uint32)
    return n_nodes, edges, None, np.random.default_rng(seed).normal(size=(n_nodes, 2)) * 30


def clusters(n_nodes: int, seed: int) -> tuple[Any, ...]:
    """Four dense groups, each a ring with chords, far apart."""
    rng = np.random.default_rng(seed)
    group = np.arange(n_nodes) % 4
    pairs = [(i, j) for i in range(n_nodes) for j in (i + 4, i + 8) if j < n_nodes]
    edges = np.array(pairs, dtype=np.uint32)
    init = rng.normal(size=(n_nodes, 2)) * 5 + 200 * np.stack([group % 2, group // 2], axis=1)
    return n_nodes, edges, None, init


def closest_gap_ratio(positions: np.ndarray, size: np.ndarray) -> float:
    """The smallest distance of any pair divided by the sum of their sizes."""
    gaps = np.linalg.norm(positions[:, None] - positions[None], axis=2)
    ratio = gaps / (size[:, None] + size[None])
    np.fill_diagonal(ratio, np.inf)
    return float(ratio.min())


@pytest.mark.parametrize("make_graph", [star, clusters], ids=["star", "clusters"])
@pytest.mark.parametrize("seed", [1, 2])
def test_sizes_keep_nodes_apart_with_barnes_hut(make_graph: Any, seed: int) -> None:
    n, edges, weights, init = make_graph(40, seed)
    size = np.random.default_rng(seed).uniform(1.0, 5.0, n)
    positions = layout_nodes(n, edges, weights, init, 3000, 1, SIZED_BH, None, size=size)
    assert closest_gap_ratio(positions, size) >= 0.95
    # Without adjustSizes the same layout overlaps: the check has teeth.
    plain = layout_nodes(
        n, edges, weights, init, 3000, 1, {**SIZED_BH, "adjustSizes": False}, None, size=size
    )
    assert closest_gap_ratio(plain, size) < 0.95


@pytest.mark.parametrize("threads", [2, 3, 8])
def test_sized_walks_give_the_same_bits_on_every_thread_count(threads: int) -> None:
    # 3,000 nodes: large enough for every phase to run on the pool.
    n, edges, weights, init = clusters(3000, 4)
    size = np.random.default_rng(4).uniform(0.5, 3.0, n)
    one = layout_nodes(n, edges, weights, init, 5, 1, SIZED_BH, None, size=size)
    assert np.array_equal(
        layout_nodes(n, edges, weights, init, 5, threads, SIZED_BH, None, size=size), one
    )


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("theta", [0.5, 1.2])
def test_without_sizes_it_gives_layout_raws_bits_with_adjust_sizes(
    threads: int, theta: float
) -> None:
    n, edges, weights, init = clusters(3000, 6)
    settings = {**SIZED_BH, "barnesHutTheta": theta}
    expected = layout_raw(n, edges, weights, init, 10, threads, settings, None)
    assert np.array_equal(
        layout_nodes(n, edges, weights, init, 10, threads, settings, None), expected
    )
    mass = 1.0 + np.bincount(edges.ravel(), minlength=n).astype(np.float64)
    assert np.array_equal(
        layout_nodes(n, edges, weights, init, 10, threads, settings, None, mass=mass), expected
    )
    # Given sizes switch the sized walks on, also where every size is the default.
    sized = layout_nodes(n, edges, weights, init, 10, threads, settings, None, size=np.ones(n))
    defaults = np.full(n, np.nan)
    assert np.array_equal(
        sized, layout_nodes(n, edges, weights, init, 10, threads, settings, None, size=defaults)
    )
    assert not np.array_equal(sized, expected)


def test_nodes_beyond_the_start_rows_keep_layout_raws_bits() -> None:
    # Nodes past init's rows are built with size 0: still the default, not sizes of the caller.
    n, edges, weights, init = clusters(300, 8)
    expected = layout_raw(n, edges, weights, init[:250], 10, 1, SIZED_BH, None)
    assert np.array_equal(
        layout_nodes(n, edges, weights, init[:250], 10, 1, SIZED_BH, None), expected
    )
