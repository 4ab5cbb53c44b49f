"""layout_raw from several Python threads, and with several worker threads."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_nodes, layout_raw


def community_graph(n_nodes: int, seed: int) -> tuple[Any, ...]:
    """Positional arguments for a clustered graph big enough to split over workers:
    eight groups, nine edges in ten inside a group."""
    rng = np.random.default_rng(seed)
    groups = rng.integers(0, 8, n_nodes)
    members = np.argsort(groups, kind="stable")
    starts = np.searchsorted(groups[members], np.arange(9))
    sources = rng.integers(0, n_nodes, 4 * n_nodes)
    own = groups[sources]
    inside = members[
        starts[own] + (rng.random(sources.size) * (starts[own + 1] - starts[own])).astype(int)
    ]
    targets = np.where(
        rng.random(sources.size) < 0.9, inside, rng.integers(0, n_nodes, sources.size)
    )
    edges = np.column_stack([sources, targets]).astype(np.uint32)
    return n_nodes, edges, None, rng.normal(0.0, 50.0, (n_nodes, 2))


SETTINGS = [
    {"barnesHutOptimize": True, "barnesHutTheta": 0.5},
    {"barnesHutOptimize": True, "barnesHutTheta": 1.2, "strongGravityMode": True},
    {},
]


@pytest.mark.parametrize("settings", SETTINGS, ids=["bh-0.5", "bh-1.2-strong", "exact"])
def test_worker_counts_give_the_same_bits_on_a_large_graph(settings: dict[str, Any]) -> None:
    graph = community_graph(3000, seed=1)
    expected = layout_raw(*graph, 5, 1, settings, None)
    for threads in (0, 2, 3, 8):
        assert np.array_equal(layout_raw(*graph, 5, threads, settings, None), expected), threads


def test_concurrent_calls_each_get_the_result_of_a_lone_call() -> None:
    settings = {"barnesHutOptimize": True}
    graphs = [community_graph(2000 + 500 * k, seed=k) for k in range(4)]
    alone = [layout_raw(*graph, 15, 2, settings, None) for graph in graphs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda g: layout_raw(*g, 15, 2, settings, None), graphs))
    for one, other in zip(alone, together):
        assert np.array_equal(one, other)


def test_edge_lists_give_the_same_bits_with_and_without_progress() -> None:
    """From 16,384 nodes two threads sum attraction from per-node edge lists
    and let the edge matrix go; later steps, and later blocks of a run with a
    progress callback, read the lists alone."""
    graph = community_graph(17_000, seed=2)
    settings = {"barnesHutOptimize": True, "barnesHutTheta": 1.2}
    expected = layout_raw(*graph, 3, 1, settings, None)
    done: list[int] = []
    assert np.array_equal(
        layout_raw(*graph, 3, 2, settings, lambda i, total: done.append(i)), expected
    )
    assert done == [1, 2, 3]
    assert np.array_equal(layout_raw(*graph, 3, 2, settings, None), expected)
    assert np.array_equal(layout_nodes(*graph, 3, 2, settings, None, tol=1e-300), expected)
