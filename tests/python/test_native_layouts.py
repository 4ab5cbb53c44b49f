"""Whole layouts from layout_raw behave: clusters separate, runs repeat exactly."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_raw


def two_cliques(size: int = 30) -> tuple[Any, ...]:
    """Two cliques joined by one edge, nodes interleaved and started at random."""
    left = np.arange(0, 2 * size, 2)
    right = left + 1
    pairs = [(a, b) for group in (left, right) for i, a in enumerate(group) for b in group[i + 1 :]]
    edges = np.array([*pairs, (left[0], right[0])], dtype=np.uint32)
    init = np.random.default_rng(3).uniform(-50.0, 50.0, (2 * size, 2))
    return 2 * size, edges, None, init


@pytest.mark.parametrize(
    "settings",
    [{}, {"barnesHutOptimize": True}, {"linLogMode": True, "barnesHutOptimize": True}],
    ids=["exact", "barnes-hut", "linlog"],
)
def test_two_cliques_separate(settings: dict[str, Any]) -> None:
    n, edges, weights, init = two_cliques()
    positions = layout_raw(n, edges, weights, init, 300, 2, settings, None)
    assert np.isfinite(positions).all()
    gap_before = np.linalg.norm(init[0::2].mean(0) - init[1::2].mean(0))
    left, right = positions[0::2], positions[1::2]
    gap = np.linalg.norm(left.mean(0) - right.mean(0))
    radius = max(
        np.linalg.norm(left - left.mean(0), axis=1).max(),
        np.linalg.norm(right - right.mean(0), axis=1).max(),
    )
    assert gap > 2 * radius, (gap, radius)
    assert gap > gap_before


def test_runs_repeat_to_the_last_bit() -> None:
    arguments = two_cliques()
    settings = {"barnesHutOptimize": True, "strongGravityMode": True}
    first = layout_raw(*arguments, 50, 1, settings, None)
    assert all(
        np.array_equal(first, layout_raw(*arguments, 50, threads, settings, None))
        for threads in (1, 2)
    )
