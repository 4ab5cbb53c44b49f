"""Rectangles packed tightly into shelves, for laying components side by side.

The boxes go in order into shelves stacked from the top down; a shelf is as
tall as its first box and is filled from left to right in columns, each
column stacking boxes from the shelf's floor up while they fit. Boxes sorted
tallest first make this "next fit decreasing height" packing with columns:
a tall first box (the main component) leaves a tall shelf, and the small
boxes that follow fill it beside that box in columns instead of wasting its
height. Several shelf widths are tried and the packing whose enclosing square
is smallest is kept, since pictures are square by default.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
from numpy.typing import NDArray

__all__ = ["pack_boxes", "shelf_pack"]

# Shelf widths tried, as multiples of the side of a square as large as all boxes together.
WIDTH_FACTORS = (1.0, 1.2, 1.45, 1.75)


Corner = tuple[float, float]


class _Shelves:
    """The packing's state: the open shelf and its last column."""

    def __init__(self, width_limit: float) -> None:
        self.width_limit = width_limit
        self.bottom = 0.0  # of the open shelf; the first shelf's top is y = 0
        self.height = 0.0  # of the open shelf; 0 before the first
        self.column_x = self.column_width = self.column_filled = 0.0

    def stack(self, w: float, h: float, count: int) -> list[Corner]:
        """Put up to ``count`` boxes of one size on top of each other in the last column."""
        if w > self.column_width or h > self.height:
            return []
        k = min(count, int((self.height - self.column_filled) // h))
        x, y = self.column_x, self.bottom + self.column_filled
        self.column_filled += k * h
        return [(x, y + h * j) for j in range(k)]

    def add_columns(self, w: float, h: float, count: int) -> list[Corner]:
        """Start new columns of up to ``count`` boxes of one size right of the last."""
        free = self.width_limit - (self.column_x + self.column_width)
        if self.height == 0.0 or h > self.height or w > free:
            return []
        per_column = int(self.height // h)
        k = min(count, int(free // w) * per_column)
        left = self.column_x + self.column_width
        self.column_x = left + w * ((k - 1) // per_column)
        self.column_width = w
        self.column_filled = ((k - 1) % per_column + 1) * h
        return [
            (left + w * (j // per_column), self.bottom + h * (j % per_column)) for j in range(k)
        ]

    def open_shelf(self, w: float, h: float) -> list[Corner]:
        """Start a shelf below the open one with a box of this size."""
        self.bottom -= h  # the open shelf's bottom is the new one's top
        self.height, self.column_x, self.column_width, self.column_filled = h, 0.0, w, h
        return [(0.0, self.bottom)]


def shelf_pack(sizes: NDArray[np.float64], width_limit: float) -> NDArray[np.float64]:
    """Place boxes in order into shelves at most ``width_limit`` wide.

    Parameters
    ----------
    sizes : ndarray of float64, shape (k, 2)
        Width and height of each box, in the order to place them.
    width_limit : float
        Widest a shelf may be; a box wider than this gets a shelf of its own.

    Returns
    -------
    ndarray of float64, shape (k, 2)
        The lower-left corner of each box; the first shelf's top is at y = 0
        and shelves go down from there, each starting at x = 0.
    """
    corners: list[Corner] = []
    shelves = _Shelves(width_limit)
    # Runs of equal boxes (isolated nodes, pairs: often most components) are
    # placed a column or a shelf at a time.
    starts = np.flatnonzero(np.any(np.diff(sizes, axis=0) != 0, axis=1)) + 1
    bounds = np.concatenate([[0], starts, [len(sizes)]]).tolist()
    boxes = sizes.tolist()
    for first, end in itertools.pairwise(bounds):
        w, h = boxes[first]
        while len(corners) < end:
            left = end - len(corners)
            placed = shelves.stack(w, h, left) or shelves.add_columns(w, h, left)
            corners += placed or shelves.open_shelf(w, h)
    return np.array(corners, dtype=np.float64).reshape(-1, 2)


def pack_boxes(sizes: NDArray[np.float64]) -> NDArray[np.float64]:
    """Pack boxes, in the given order, into the smallest enclosing square found.

    Parameters
    ----------
    sizes : ndarray of float64, shape (k, 2)
        Width and height of each box (positive), best sorted tallest first.

    Returns
    -------
    ndarray of float64, shape (k, 2)
        The lower-left corner of each box; boxes do not overlap.
    """
    boxes = np.asarray(sizes, dtype=np.float64).reshape(-1, 2)
    if len(boxes) == 0:
        return np.zeros((0, 2))
    side = math.sqrt(float(np.prod(boxes, axis=1).sum()))
    widest = float(boxes[:, 0].max())
    best, best_side = np.zeros((0, 2)), math.inf
    for factor in WIDTH_FACTORS:
        corners = shelf_pack(boxes, max(widest, factor * side))
        far = corners + boxes
        extent = max(float(far[:, 0].max()), float(-corners[:, 1].min()))
        if extent < best_side:
            best, best_side = corners, extent
    return best
