"""The ForceAtlas2 settings under their Python names, with checks and defaults.

The kernel reads a dictionary with camelCase keys and accepts any value; this
module is where a user's keyword arguments are checked, given their defaults
(some of which depend on the size of the graph) and renamed.
"""

from __future__ import annotations

import difflib
import math
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

import numpy as np

__all__ = [
    "BARNES_HUT_MIN_NODES",
    "PLAIN_GRAVITY_DEFAULT",
    "SETTINGS",
    "STRONG_GRAVITY_DEFAULT",
    "Setting",
    "check_unknown_names",
    "derived_default",
    "kernel_settings",
    "range_text",
]

# Barnes-Hut is switched on by default from this many nodes: below it 1,000
# exact iterations take under two seconds and carry no approximation; at this
# size the quadtree is already four times faster.
BARNES_HUT_MIN_NODES = 1000
# Gravity defaults. Plain gravity holds small disconnected pieces at a
# distance that grows with the graph's total mass, so on real graphs they end
# far outside the picture; strong gravity at 0.05 keeps them in a ring just
# around the main component at every size, without squeezing its clusters.
STRONG_GRAVITY_DEFAULT = 0.05
PLAIN_GRAVITY_DEFAULT = 1.0

# Ranges of the numeric settings. The kernel stores forces and positions in
# float32 (largest value 3.4e38) and loses its adaptive step once positions
# pass ~1e17 (see limits.py), so these keep every force and step finite
# with a wide margin, measured at the corners of all ranges together
# (masses and powered weights at 1e10, start coordinates at 1e12) on exact and
# Barnes-Hut graphs in every mode for 300 iterations; ten to a hundred times
# past any of them the same runs end in NaN.
# - scaling_ratio: repulsion is scaling_ratio * m_i * m_j / d, and the
#   layout's size grows like sqrt(scaling_ratio); 1e10 keeps both far from
#   float32's end. Below 1e-10 repulsion is nothing next to rounding and
#   the graph collapses onto a point; gravity divides by it (q = gravity /
#   scaling_ratio), which overflows float64 for subnormal values.
# - gravity: strong gravity is gravity * mass * r and an overshooting step can
#   swing a node out to about gravity * ln(F)**2 / (4 * slow_down**2) from the
#   centre, so with the slow_down floor below 1e6 keeps that under 1e12.
# - slow_down: every step is divided by it; 1e-3 allows 1,000-fold larger
#   steps than the default, and smaller values throw nodes out of float32.
SCALING_RATIO_RANGE = (1e-10, 1e10)
GRAVITY_MAXIMUM = 1e6
SLOW_DOWN_MINIMUM = 1e-3


@dataclass(frozen=True)
class Setting:
    """One ForceAtlas2 setting.

    Attributes
    ----------
    name : str
        The keyword argument of :func:`tallow_forceatlas2.layout`.
    key : str
        The key of the settings dictionary that the kernel reads.
    kind : type
        ``bool`` or ``float``.
    default : bool or float or None
        The default; ``None`` when it depends on the number of nodes.
    minimum : float or None
        The smallest accepted value of a ``float`` setting.
    minimum_allowed : bool
        Whether ``minimum`` itself is accepted (``>=``) or not (``>``).
    help : str
        One line for documentation and ``--help``.
    maximum : float or None
        The largest accepted value of a ``float`` setting, if it has one.
    """

    name: str
    key: str
    kind: type
    default: bool | float | None
    minimum: float | None
    minimum_allowed: bool
    help: str
    maximum: float | None = None


def _flag(name: str, key: str, help: str) -> Setting:
    return Setting(name, key, bool, False, None, True, help)


SETTINGS: tuple[Setting, ...] = (
    _flag(
        "lin_log",
        "linLogMode",
        "logarithmic attraction: tighter, more separated clusters",
    ),
    _flag(
        "dissuade_hubs",
        "outboundAttractionDistribution",
        "divide a node's attraction by its mass: hubs move to the borders",
    ),
    _flag(
        "prevent_overlap",
        "adjustSizes",
        "take node sizes into account so nodes do not overlap",
    ),
    Setting(
        "edge_weight_influence",
        "edgeWeightInfluence",
        float,
        1.0,
        0.0,
        True,
        "exponent applied to edge weights (0 ignores weights)",
    ),
    Setting(
        "scaling_ratio",
        "scalingRatio",
        float,
        2.0,
        SCALING_RATIO_RANGE[0],
        True,
        "repulsion strength: larger spreads the graph out",
        SCALING_RATIO_RANGE[1],
    ),
    Setting(
        "strong_gravity",
        "strongGravityMode",
        bool,
        True,
        None,
        True,
        "gravity grows with the distance to the centre (keeps islands near)",
    ),
    Setting(
        "gravity",
        "gravity",
        float,
        None,
        0.0,
        True,
        f"pull towards the centre (default: {STRONG_GRAVITY_DEFAULT} with strong "
        f"gravity, else {PLAIN_GRAVITY_DEFAULT})",
        GRAVITY_MAXIMUM,
    ),
    Setting(
        "slow_down",
        "slowDown",
        float,
        1.0,
        SLOW_DOWN_MINIMUM,
        True,
        "divides every node's step: larger is slower and steadier",
    ),
    Setting(
        "barnes_hut",
        "barnesHutOptimize",
        bool,
        None,
        None,
        True,
        f"approximate repulsion with a quadtree (default: on from {BARNES_HUT_MIN_NODES} nodes)",
    ),
    Setting(
        "barnes_hut_theta",
        "barnesHutTheta",
        float,
        1.2,
        0.0,
        True,
        "Barnes-Hut accuracy: smaller is more exact and slower",
    ),
)

_BY_NAME = {setting.name: setting for setting in SETTINGS}

# Names people bring from other ForceAtlas2 tools, mapped to ours.
ALIASES = {
    **{setting.key: setting.name for setting in SETTINGS},
    "linlog": "lin_log",
    "lin_log_mode": "lin_log",
    "outbound_attraction_distribution": "dissuade_hubs",
    "distributed_action": "dissuade_hubs",
    "adjust_sizes": "prevent_overlap",
    "strong_gravity_mode": "strong_gravity",
    "barnes_hut_optimize": "barnes_hut",
    "theta": "barnes_hut_theta",
    "max_iter": "iterations",
    "n_iter": "iterations",
    "niter": "iterations",
}


def check_unknown_names(function: str, unknown: Iterable[str], known: Iterable[str]) -> None:
    """Raise a ``TypeError`` for the first unknown keyword argument.

    Parameters
    ----------
    function : str
        The name of the function, for the message.
    unknown : iterable of str
        Keyword arguments that the function does not take.
    known : iterable of str
        The keyword arguments it does take, for close-match suggestions.

    Raises
    ------
    TypeError
        Naming the argument and, when there is one, the closest known name.
    """
    known = list(known)
    for name in unknown:
        suggestion = ALIASES.get(name)
        if suggestion is None or suggestion not in known:
            matches = difflib.get_close_matches(name, known, n=1, cutoff=0.6)
            suggestion = matches[0] if matches else None
        hint = f"; did you mean {suggestion!r}?" if suggestion else ""
        raise TypeError(f"{function}() got an unexpected keyword argument {name!r}{hint}")


def _check_value(setting: Setting, value: object) -> bool | float:
    if setting.kind is bool:
        if isinstance(value, (bool, np.bool_)):
            return bool(value)
        raise TypeError(
            f"{setting.name} must be True or False, not {value!r} ({type(value).__name__})"
        )
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(
            f"{setting.name} must be a real number, not {value!r} ({type(value).__name__})"
        )
    try:
        number = float(value)
    except OverflowError:  # an integer beyond float64, such as 10**400
        raise ValueError(
            f"{setting.name} must be {range_text(setting)}, not an integer beyond float64"
        ) from None
    if not math.isfinite(number):
        raise ValueError(f"{setting.name} must be finite, not {number}")
    assert setting.minimum is not None
    too_small = number < setting.minimum or (
        number == setting.minimum and not setting.minimum_allowed
    )
    too_large = setting.maximum is not None and number > setting.maximum
    if too_small or too_large:
        # Positive minimums and all maximums are where the float32 arithmetic ends.
        why = (
            ": beyond that range the layout's float32 forces or positions overflow to NaN"
            if too_large or setting.minimum > 0
            else ""
        )
        raise ValueError(f"{setting.name} must be {range_text(setting)}, not {number:g}{why}")
    return number


def range_text(setting: Setting) -> str:
    """Describe the accepted values of a ``float`` setting.

    Parameters
    ----------
    setting : Setting
        A setting with a ``minimum``.

    Returns
    -------
    str
        Such as ``">= 0"`` or ``"from 1e-10 to 1e+10"``.
    """
    assert setting.minimum is not None
    if setting.maximum is None:
        bound = ">=" if setting.minimum_allowed else ">"
        return f"{bound} {setting.minimum:g}"
    if setting.minimum == 0.0 and setting.minimum_allowed:
        return f"between 0 and {setting.maximum:g}"
    return f"from {setting.minimum:g} to {setting.maximum:g}"


def derived_default(name: str, n_nodes: int, strong_gravity: bool) -> bool | float:
    """Return the default of a setting that depends on the graph or on another setting.

    Parameters
    ----------
    name : str
        ``"barnes_hut"`` or ``"gravity"``.
    n_nodes : int
        Number of nodes of the graph.
    strong_gravity : bool
        Whether strong gravity is on.

    Returns
    -------
    bool or float
        Barnes-Hut on from ``BARNES_HUT_MIN_NODES`` nodes; gravity 0.05 with
        strong gravity, 1.0 without.
    """
    if name == "barnes_hut":
        return n_nodes >= BARNES_HUT_MIN_NODES
    return STRONG_GRAVITY_DEFAULT if strong_gravity else PLAIN_GRAVITY_DEFAULT


def kernel_settings(n_nodes: int, chosen: Mapping[str, object]) -> dict[str, bool | float]:
    """Check the user's settings and return the kernel's settings dictionary.

    Parameters
    ----------
    n_nodes : int
        Number of nodes, for the defaults that depend on it.
    chosen : mapping of str to object
        Settings under their Python names; ``None`` values take the default.

    Returns
    -------
    dict
        Every setting under its camelCase key, as ``bool`` or ``float``.

    Raises
    ------
    TypeError
        A name that is not a setting, or a value of the wrong type.
    ValueError
        A number that is not finite or is out of range.
    """
    check_unknown_names("layout", (name for name in chosen if name not in _BY_NAME), _BY_NAME)
    checked: dict[str, bool | float | None] = {}
    for setting in SETTINGS:
        value = chosen.get(setting.name)
        checked[setting.name] = setting.default if value is None else _check_value(setting, value)
    strong = bool(checked["strong_gravity"])
    result: dict[str, bool | float] = {}
    for setting in SETTINGS:
        value = checked[setting.name]
        if value is None:
            value = derived_default(setting.name, n_nodes, strong)
        result[setting.key] = value
    return result
