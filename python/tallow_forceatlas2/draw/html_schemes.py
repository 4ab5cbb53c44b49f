"""Colour schemes of the HTML view: one byte per node, a palette and a legend.

A scheme colours the nodes by community (the largest first, with the same
colours as the static pictures), by a numeric node attribute or by degree (a
colour scale), or by any other attribute (its values as categories). The
page switches between schemes by swapping the colours, so every scheme is
computed here once, as compact codes.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from numbers import Real
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.draw.plot import COMMUNITY_COLOURS, LEGEND_ENTRIES

__all__ = ["ColourScheme", "category_scheme", "degree_scheme", "scheme_for_values"]

GREY = "#b0b0b0"
# Levels of a colour scale; code SCALE_LEVELS is for nodes without a value.
SCALE_LEVELS = 255
# viridis at eight evenly spaced points, blended linearly in between.
_VIRIDIS = (
    "#440154",
    "#46327e",
    "#365c8d",
    "#277f8e",
    "#1fa187",
    "#4ac16d",
    "#a0da39",
    "#fde725",
)


@dataclass(frozen=True)
class ColourScheme:
    """One way to colour the nodes.

    Attributes
    ----------
    name : str
        Shown in the page's "colour by" list.
    codes : ndarray of uint8, shape (n,)
        Each node's index into ``palette``.
    palette : list of str
        ``#rrggbb`` colours.
    legend : dict
        What the legend shows: ``{"kind": "category", "title", "entries":
        [[colour, text], ...]}`` or ``{"kind": "scale", "title", "colours",
        "low", "high"}``.
    """

    name: str
    codes: NDArray[np.uint8]
    palette: list[str]
    legend: dict[str, Any]


def _scale_palette() -> list[str]:
    anchors = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in _VIRIDIS], float)
    where = np.linspace(0, len(anchors) - 1, SCALE_LEVELS)
    low = np.minimum(where.astype(int), len(anchors) - 2)
    part = (where - low)[:, None]
    rgb = np.rint(anchors[low] * (1 - part) + anchors[low + 1] * part).astype(int)
    return ["#{:02x}{:02x}{:02x}".format(*row) for row in rgb] + [GREY]


def _number_text(value: float) -> str:
    return f"{value:.4g}"


def _scale_scheme(
    name: str, values: NDArray[np.float64], *, logarithmic: bool, title: str
) -> ColourScheme:
    known = np.isfinite(values)
    codes = np.full(len(values), SCALE_LEVELS, dtype=np.uint8)
    if known.any():
        shown = np.log1p(values[known]) if logarithmic else values[known]
        low, high = float(shown.min()), float(shown.max())
        span = high - low if high > low else 1.0
        codes[known] = np.rint((shown - low) / span * (SCALE_LEVELS - 1)).astype(np.uint8)
        ends = (float(values[known].min()), float(values[known].max()))
    else:
        ends = (math.nan, math.nan)
    palette = _scale_palette()
    legend = {
        "kind": "scale",
        "title": title + (" (log scale)" if logarithmic else ""),
        "colours": list(_VIRIDIS),
        "low": _number_text(ends[0]),
        "high": _number_text(ends[1]),
    }
    return ColourScheme(name, codes, palette, legend)


def degree_scheme(degree: NDArray[np.float64]) -> ColourScheme:
    """Colour by degree on a logarithmic scale, as the static pictures do."""
    return _scale_scheme("degree", degree, logarithmic=True, title="degree")


def category_scheme(name: str, values: Sequence[Hashable]) -> ColourScheme:
    """Colour by category, the largest first; ``""`` and None are drawn grey.

    The community colours repeat past the twentieth category; the legend
    names the largest few and counts the rest.
    """
    counted = [(c, k) for c, k in Counter(values).most_common() if c not in ("", None)]
    rank = {c: i for i, (c, _) in enumerate(counted)}
    colours = len(COMMUNITY_COLOURS)
    grey = colours
    codes = np.fromiter(
        (rank[v] % colours if v in rank else grey for v in values),
        dtype=np.uint8,
        count=len(values),
    )
    palette = list(COMMUNITY_COLOURS) + [GREY]
    entries = [
        [COMMUNITY_COLOURS[i % colours], f"{c} ({k:,})"]
        for i, (c, k) in enumerate(counted[:LEGEND_ENTRIES])
    ]
    rest = len(counted) - LEGEND_ENTRIES
    if rest > 0:
        entries.append(["#ffffff", f"{rest:,} more"])
    if len(counted) < len(values) and any(v in ("", None) for v in values):
        entries.append([GREY, "none"])
    legend = {"kind": "category", "title": f"{name} (nodes)", "entries": entries}
    return ColourScheme(name, codes, palette, legend)


def _numbers(values: Sequence[Any]) -> NDArray[np.float64] | None:
    """The values as floats when all are numbers (None for missing), else None."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "iuf":
        return np.asarray(values, dtype=np.float64)
    out = np.empty(len(values))
    for i, value in enumerate(values):
        if value is None:
            out[i] = math.nan
        elif isinstance(value, Real) and not isinstance(value, bool):
            out[i] = float(value)
        else:
            return None
    return out


def scheme_for_values(name: str, values: Sequence[Any]) -> ColourScheme:
    """A colour scale for numeric values, categories for anything else.

    Parameters
    ----------
    name : str
        The attribute's name.
    values : sequence
        One value per node; None (or NaN) where a node has none.
    """
    numbers = _numbers(values)
    if numbers is None or np.isfinite(numbers).sum() == 0:
        return category_scheme(name, [_hashable(v) for v in values])
    return _scale_scheme(name, numbers, logarithmic=False, title=name)


def _hashable(value: Any) -> Hashable:
    if value is None or isinstance(value, float) and math.isnan(value):
        return ""
    return value if isinstance(value, Hashable) else str(value)
