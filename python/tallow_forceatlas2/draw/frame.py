"""Which part of a layout a picture shows: all of it, unless a few nodes lie far out.

A single node far from the rest (an isolated node that gravity holds at a
distance, a node of a tiny component) would otherwise set the frame and
shrink the graph into a corner. Nodes beyond 1.5 times the 98th percentile
of the distances from the median centre are drawn on that circle instead,
marked, and counted; a compact layout, a disc or a long path, keeps every
node where it is (their farthest nodes lie within that bound).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["Frame", "robust_frame"]

# Below this many nodes a percentile says little; every node is framed.
MIN_NODES_TO_CLIP = 50
QUANTILE = 0.98
REACH = 1.5


@dataclass(frozen=True)
class Frame:
    """Positions to draw and the nodes moved in to fit the frame.

    Attributes
    ----------
    positions : ndarray of float64, shape (n, 2)
        The layout's positions, with outliers moved onto the frame's circle.
    outliers : ndarray of bool, shape (n,)
        The nodes that were moved.
    """

    positions: NDArray[np.float64]
    outliers: NDArray[np.bool_]


def robust_frame(positions: NDArray[np.float64]) -> Frame:
    """Pull far outliers in so that the frame fits the bulk of the layout.

    Parameters
    ----------
    positions : ndarray of float64, shape (n, 2)
        A layout.

    Returns
    -------
    Frame
    """
    points = np.asarray(positions, dtype=np.float64).reshape(-1, 2)
    outliers = np.zeros(len(points), dtype=bool)
    if len(points) < MIN_NODES_TO_CLIP:
        return Frame(points, outliers)
    centre = np.median(points, axis=0)
    offsets = points - centre
    distance = np.hypot(offsets[:, 0], offsets[:, 1])
    limit = REACH * float(np.quantile(distance, QUANTILE))
    outliers = distance > limit
    if limit <= 0 or not outliers.any():
        return Frame(points, np.zeros(len(points), dtype=bool))
    moved = points.copy()
    moved[outliers] = centre + offsets[outliers] * (limit / distance[outliers])[:, None]
    return Frame(moved, outliers)
