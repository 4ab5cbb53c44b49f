"""Type stubs for the compiled layout kernel module."""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

__all__ = ["layout_raw"]

def layout_raw(
    n_nodes: int,
    edges: NDArray[np.uint32],
    weights: NDArray[np.float64] | None,
    init: NDArray[np.float64],
    iterations: int,
    threads: int,
    settings: dict[str, bool | float],
    progress: Callable[[int, int], object] | None,
) -> NDArray[np.float64]:
    """Runs a ForceAtlas2 layout and returns the final `(n, 2)` f64 positions.

    `edges` is an ``(m, 2)`` uint32 array of node indices below `n_nodes`,
    `weights` an optional ``(m,)`` float64 array, `init` the ``(n, 2)`` float64
    start positions. `settings` holds the camelCase keys linLogMode,
    outboundAttractionDistribution, adjustSizes, edgeWeightInfluence,
    scalingRatio, strongGravityMode, gravity, slowDown, barnesHutOptimize and
    barnesHutTheta. `progress(done, total)` is called after every iteration
    with the interpreter lock held; an exception it raises ends the run and is
    raised unchanged. Arguments are not validated beyond their types: use
    :func:`tallow_forceatlas2.layout` for checked input.
    """
