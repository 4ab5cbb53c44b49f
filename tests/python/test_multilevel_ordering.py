"""Coarsening's sorting shortcuts give argsort's, unique's and bincount's bits."""

from __future__ import annotations

import numpy as np
import pytest
from numpy.typing import NDArray
from tallow_forceatlas2.multilevel.adjacency import adjacency
from tallow_forceatlas2.multilevel.ordering import dense_ranks, sorted_with_order, sum_equal_pairs


@pytest.mark.parametrize("size", [0, 1, 300])
@pytest.mark.parametrize("bound", [50, 2**60], ids=["packed", "too wide to pack"])
def test_sorted_with_order_is_a_stable_argsort(size: int, bound: int) -> None:
    keys = np.random.default_rng(size).integers(0, 50, size)  # many ties
    ordered, order = sorted_with_order(keys, bound)
    assert np.array_equal(order, np.argsort(keys, kind="stable"))
    assert np.array_equal(ordered, np.sort(keys))


@pytest.mark.parametrize("size", [0, 1, 300])
def test_dense_ranks_number_values_as_unique_does(size: int) -> None:
    values = np.random.default_rng(size).integers(0, 1000, size)
    count, ranks = dense_ranks(values, 1000)
    distinct, inverse = np.unique(values, return_inverse=True)
    assert count == len(distinct)
    assert np.array_equal(ranks, inverse)


WEIGHTS = {
    "unit": lambda rng, size: np.ones(size),
    "whole, few above 1": lambda rng, size: np.where(rng.random(size) < 0.05, 3.0, 1.0),
    "whole, many above 1": lambda rng, size: rng.integers(1, 5, size).astype(np.float64),
    "fractional": lambda rng, size: rng.uniform(0.1, 3.0, size),
}


@pytest.mark.parametrize("kind", list(WEIGHTS))
def test_sum_equal_pairs_matches_unique_and_bincount(kind: str) -> None:
    rng = np.random.default_rng(5)
    n = 40
    first, second = rng.integers(0, n, 600), rng.integers(0, n, 600)  # loops, both orientations
    values = WEIGHTS[kind](rng, 600)
    edges, summed = sum_equal_pairs(n, first, second, values)
    keep = first != second
    keys = np.minimum(first, second)[keep] * n + np.maximum(first, second)[keep]
    distinct, inverse = np.unique(keys, return_inverse=True)
    assert np.array_equal(edges, np.stack([distinct // n, distinct % n], axis=1))
    assert np.array_equal(summed, np.bincount(inverse, weights=values[keep]))


def simple_pairs(rng: np.random.Generator, n: int) -> NDArray[np.int64]:
    pairs = np.sort(rng.integers(0, n, (800, 2)), axis=1)
    return np.unique(pairs[pairs[:, 0] != pairs[:, 1]], axis=0)


@pytest.mark.parametrize("kind", list(WEIGHTS))
def test_weight_where_gives_the_bits_of_summing_the_weights(kind: str) -> None:
    rng = np.random.default_rng(6)
    edges = simple_pairs(rng, 120)  # nodes 100 to 119 mostly with edges, some without
    adj = adjacency(130, edges, WEIGHTS[kind](rng, len(edges)))
    chosen = rng.random(len(adj.heads)) < 0.5
    assert np.array_equal(
        adj.weight_where(chosen), adj.sum_per_node(np.where(chosen, adj.weights, 0.0))
    )
