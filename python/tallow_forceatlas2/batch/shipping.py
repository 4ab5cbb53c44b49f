"""A graph's layout as compact arrays that can travel to a worker.

``ship`` runs :func:`tallow_forceatlas2.api.prepare_layout`, the first half
of every ``layout()`` call, on the caller's side and in input order: it
checks the graph and options and builds the node count, uint32 edges,
float64 weights and start positions, per-node values and the kernel's
settings. ``run_shipped`` is the second half, wherever it runs. Together they
are ``layout()``, so a batch gives its bits, and a random generator shared by
several graphs is drawn from exactly as a loop of ``layout()`` calls would.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.api import _LAYOUT_ARGUMENTS, prepare_layout
from tallow_forceatlas2.prepare import PreparedLayout, run_prepared
from tallow_forceatlas2.settings import check_unknown_names

__all__ = ["BATCH_WIDE", "LAYOUT_OPTIONS", "nbytes", "run_shipped", "ship", "without_labels"]

# threads and progress are the batch's to decide; every other keyword of
# layout() may be given for all graphs or for one.
BATCH_WIDE = ("threads", "progress")
LAYOUT_OPTIONS = tuple(name for name in _LAYOUT_ARGUMENTS if name not in BATCH_WIDE)


def ship(graph: object, options: Mapping[str, object]) -> PreparedLayout:
    """Check one graph and its ``layout()`` options and prepare its kernel arrays.

    Parameters
    ----------
    graph : object
        Anything :func:`tallow_forceatlas2.layout` accepts.
    options : mapping
        Keyword arguments of ``layout()`` but ``threads`` and ``progress``.

    Returns
    -------
    PreparedLayout
        With one kernel thread; the batch sets the count when it runs.

    Raises
    ------
    TypeError, ValueError, MemoryError
        What ``layout()`` would raise for this graph and these options.
    """
    for name in BATCH_WIDE:
        if name in options:
            raise TypeError(
                f"{name}= is for the whole batch, not one graph: pass it to layout_many()"
            )
    check_unknown_names(
        "layout_many", (name for name in options if name not in LAYOUT_OPTIONS), LAYOUT_OPTIONS
    )
    return prepare_layout(graph, threads=1, **options)  # type: ignore[arg-type]


def without_labels(prepared: PreparedLayout) -> PreparedLayout:
    """The layout without its node labels, which stay with the caller.

    Labels only name nodes in messages; a worker's messages name them by index.
    """
    return dataclasses.replace(prepared, labels=None)


def nbytes(prepared: PreparedLayout) -> int:
    """Bytes of array data a prepared layout carries."""
    arrays = (prepared.edges, prepared.weights, prepared.init, prepared.mass, prepared.size)
    return sum(array.nbytes for array in (*arrays, prepared.fixed) if array is not None)


def run_shipped(
    prepared: PreparedLayout,
    threads: int,
    progress: Callable[[int, int], object] | None = None,
) -> NDArray[np.float64]:
    """Run a prepared layout on ``threads`` kernel threads: the same bits for any count."""
    return run_prepared(dataclasses.replace(prepared, threads=threads), progress)
