"""Shared fixtures: small valid graphs for layout_raw and its internal-error class."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_raw

Layout = Callable[..., np.ndarray]
PARAMETERS = (
    "n_nodes",
    "edges",
    "weights",
    "init",
    "iterations",
    "threads",
    "settings",
    "progress",
)


def ring_graph(n_nodes: int = 12) -> dict[str, Any]:
    """A ring with one chord and spread-out start positions, as layout_raw arguments."""
    edges = [(i, (i + 1) % n_nodes) for i in range(n_nodes)] + [(0, n_nodes // 2)]
    angles = np.linspace(0.0, 2.0 * np.pi, n_nodes, endpoint=False)
    return {
        "n_nodes": n_nodes,
        "edges": np.array(edges, dtype=np.uint32),
        "weights": None,
        "init": np.column_stack([np.cos(angles) * 10.0, np.sin(angles) * 7.0 + 0.5]),
        "iterations": 0,
        "threads": 1,
        "settings": {},
        "progress": None,
    }


@pytest.fixture
def call_layout() -> Callable[..., np.ndarray]:
    """layout_raw on the ring graph, positionally; any argument replaced by keyword."""

    def call(**overrides: Any) -> np.ndarray:
        arguments = ring_graph() | overrides
        return layout_raw(*(arguments[name] for name in PARAMETERS))

    return call


@pytest.fixture(scope="session")
def internal_error() -> type[BaseException]:
    """The internal-error class, which the module does not expose: provoked once."""
    edges = np.array([[0, 1]], dtype=np.uint32)
    with pytest.raises(BaseException) as info:
        layout_raw(1, edges, None, np.zeros((1, 2)), 0, 1, {}, None)
    return type(info.value)
