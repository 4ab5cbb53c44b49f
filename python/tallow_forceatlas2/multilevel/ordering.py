"""Sorting and numbering of bounded integer keys, cheaper than argsort and unique.

NumPy sorts plain int64 values with vectorized code several times faster
than it argsorts them (10,000,000 keys: 0.12 s against 1.0 s for a stable
argsort). So a stable order is found by sorting each key packed above its
own index, which breaks ties by position exactly as a stable sort does.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["dense_ranks", "sorted_with_order", "stable_order", "sum_equal_pairs"]

_PACKED_BITS = 63


def sorted_with_order(
    keys: NDArray[np.int64], bound: int
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``keys`` sorted, and the stable order that sorts them.

    Parameters
    ----------
    keys : ndarray of int64
        Keys in ``[0, bound)``.
    bound : int
        An upper bound of the keys: packing needs its bit length.

    Returns
    -------
    sorted_keys, order : ndarray of int64
        ``order`` equals ``np.argsort(keys, kind="stable")``.
    """
    index_bits = max(len(keys) - 1, 0).bit_length()
    if max(bound - 1, 0).bit_length() + index_bits > _PACKED_BITS:
        order = np.argsort(keys, kind="stable")
        return keys[order], order
    packed = keys.astype(np.int64) << index_bits
    packed |= np.arange(len(keys), dtype=np.int64)
    packed.sort()
    order = packed & ((1 << index_bits) - 1)
    packed >>= index_bits
    return packed, order


def stable_order(keys: NDArray[np.int64], bound: int) -> NDArray[np.int64]:
    """``np.argsort(keys, kind="stable")`` for keys in ``[0, bound)``."""
    return sorted_with_order(keys, bound)[1]


def dense_ranks(values: NDArray[np.int64], bound: int) -> tuple[int, NDArray[np.int64]]:
    """Number the distinct values 0, 1, ... in increasing order, in one pass.

    Returns the count of distinct values and each value's number: what
    ``np.unique(values, return_inverse=True)`` gives, for values in
    ``[0, bound)``.
    """
    present = np.zeros(bound, dtype=bool)
    present[values] = True
    rank = np.cumsum(present, dtype=np.int64)
    rank -= 1
    return int(rank[-1]) + 1 if bound else 0, rank[values]


def sum_equal_pairs(
    n_nodes: int, first: NDArray[np.int64], second: NDArray[np.int64], values: NDArray[np.float64]
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """Drop self-loops, orient every pair smaller-first, sum the values of equal pairs.

    Returns
    -------
    edges : ndarray of int64, shape (k, 2)
        Each distinct pair once, sorted by (first, second).
    summed : ndarray of float64, shape (k,)
        The values of each pair's copies added in input order (the bits of
        a ``np.bincount`` over the pairs).
    """
    keep = first != second
    first, second = first[keep], second[keep]
    low = np.minimum(first, second)
    high = np.maximum(first, second)
    # Shifting instead of multiplying by n_nodes keeps the order and makes
    # taking the pair apart again two cheap bit operations, not a division.
    bits = max(n_nodes - 1, 0).bit_length()
    low <<= bits
    low |= high
    keys, order = sorted_with_order(low, 1 << (2 * bits))
    new_pair = np.empty(len(keys), dtype=bool)
    new_pair[:1] = True
    np.not_equal(keys[1:], keys[:-1], out=new_pair[1:])
    unique_keys = keys[new_pair]
    kept = values[keep]
    if np.all(kept == 1.0):
        # Counting copies: exact, so the bits of adding them.
        starts = np.flatnonzero(new_pair)
        summed = np.diff(starts, append=len(keys)).astype(np.float64)
    else:
        pair = np.cumsum(new_pair, dtype=np.int64)
        pair -= 1
        # float64 even when empty (an empty bincount is int64).
        summed = np.bincount(pair, weights=kept[order], minlength=len(unique_keys)).astype(
            np.float64
        )
    # Column by column: each end list is contiguous for the gathers that follow.
    columns = np.empty((2, len(unique_keys)), dtype=np.int64)
    np.right_shift(unique_keys, bits, out=columns[0])
    np.bitwise_and(unique_keys, (1 << bits) - 1, out=columns[1])
    return columns.T, summed
