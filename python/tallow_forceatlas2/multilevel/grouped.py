"""Per-group arg-maximum over runs of a sorted array, without a sort."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["group_argmax"]


def group_argmax(
    groups: NDArray[np.int64], values: NDArray[np.float64], rng: np.random.Generator
) -> NDArray[np.int64]:
    """Index of the largest value in every run of equal ``groups``, random among ties.

    Parameters
    ----------
    groups : ndarray of int64
        Group of every entry; equal groups must be adjacent (sorted input).
    values : ndarray of float64
        The values to maximise, no NaN.
    rng : numpy Generator
        Draws one number per entry to break ties.

    Returns
    -------
    ndarray of int64
        One entry index per run, runs in input order.
    """
    if len(groups) == 0:
        return np.empty(0, dtype=np.int64)
    starts = np.empty(len(groups), dtype=bool)
    starts[0] = True
    np.not_equal(groups[1:], groups[:-1], out=starts[1:])
    starts = np.flatnonzero(starts)
    # Spreading one value per run over the run is a sequential repeat, no gather.
    sizes = np.diff(starts, append=len(groups))
    top = np.repeat(np.maximum.reduceat(values, starts), sizes)
    draw = rng.random(len(values))
    draw[values != top] = -1.0
    chosen = draw == np.repeat(np.maximum.reduceat(draw, starts), sizes)
    return np.flatnonzero(chosen)
