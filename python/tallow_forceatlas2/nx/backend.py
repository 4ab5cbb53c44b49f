"""The networkx backend "tallow": ``nx.forceatlas2_layout(G, backend="tallow")``.

networkx (3.5 and newer) finds this module through the ``networkx.backends``
and ``networkx.backend_info`` entry points. networkx loads ``backend_info``
while it is itself being imported, so this module imports neither networkx
nor NumPy at import time.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from typing import Any

__all__ = ["BackendInterface", "backend_info", "can_run"]

BACKEND_NAME = "tallow"

_DOCS = (
    "Runs tallow_forceatlas2's compiled, multithreaded ForceAtlas2. Each node's step\n"
    "adapts to its own swinging, so ``jitter_tolerance`` has no meaning here and only\n"
    "its default is accepted; ``dim`` other than 2 is not supported (networkx's own\n"
    "implementation runs instead when fallback is enabled). ``node_size`` turns on\n"
    "overlap prevention with those sizes (nodes left out have size 1); nodes left out\n"
    "of ``node_mass`` keep the mass 1 + their weighted degree. The same ``seed`` gives\n"
    "the same layout bit for bit, for every thread count."
)
_EXTRA_PARAMETERS = {
    "threads : int, optional": (
        "Worker threads; default: the processors available from 2,500 nodes (768 in exact mode)."
    ),
    "progress : bool or callable, optional": (
        "True shows a progress bar; a callable gets (done, total) after each iteration."
    ),
    "barnes_hut : bool, optional": "Barnes-Hut repulsion; default: on for large graphs.",
    "barnes_hut_theta : float, optional": "Barnes-Hut opening threshold.",
}


def backend_info() -> dict[str, Any]:
    """Describe the backend to networkx.

    Returns
    -------
    dict
        The backend's name, package and the functions it implements, with
        their extra documentation and parameters.
    """
    return {
        "backend_name": BACKEND_NAME,
        "project": "tallow_forceatlas2",
        "package": "tallow_forceatlas2",
        "short_summary": "Fast, deterministic, multithreaded ForceAtlas2 layout.",
        "functions": {
            "forceatlas2_layout": {
                "additional_docs": _DOCS,
                "additional_parameters": _EXTRA_PARAMETERS,
            }
        },
    }


def forceatlas2_layout(
    G: Any,
    pos: Mapping[Hashable, Any] | None = None,
    *,
    max_iter: int = 100,
    jitter_tolerance: float = 1.0,
    scaling_ratio: float = 2.0,
    gravity: float = 1.0,
    distributed_action: bool = False,
    strong_gravity: bool = False,
    node_mass: Mapping[Hashable, float] | None = None,
    node_size: Mapping[Hashable, float] | None = None,
    weight: str | None = None,
    linlog: bool = False,
    seed: Any = None,
    dim: int = 2,
    store_pos_as: str | None = None,
    **backend_kwargs: Any,
) -> dict[Hashable, Any]:
    """networkx's ``forceatlas2_layout`` run by this package.

    Parameters are networkx's; see ``help(networkx.forceatlas2_layout)``.
    ``backend_kwargs`` may hold ``threads``, ``progress``, ``barnes_hut``
    and ``barnes_hut_theta``.

    Returns
    -------
    dict
        Node to a float64 array ``[x, y]``.

    Raises
    ------
    NotImplementedError
        For arguments that ``can_run`` declines.
    """
    reason = _cannot_run(jitter_tolerance, dim)
    if reason:
        # Raised here rather than answered from can_run: networkx replaces a
        # can_run answer by a generic message, while it keeps this one as the
        # cause of its error (and falls back to its own code just the same).
        raise NotImplementedError(f"the {BACKEND_NAME} backend cannot run this call: {reason}")
    from tallow_forceatlas2.settings import check_unknown_names

    check_unknown_names(
        "forceatlas2_layout",
        (k for k in backend_kwargs if k not in _BACKEND_KWARGS),
        _BACKEND_KWARGS,
    )
    from tallow_forceatlas2.api import layout

    positions = layout(
        G,
        pos=pos,
        weight=weight,
        seed=seed,
        iterations=max_iter,
        scaling_ratio=scaling_ratio,
        gravity=gravity,
        dissuade_hubs=distributed_action,
        strong_gravity=strong_gravity,
        lin_log=linlog,
        node_mass=node_mass,
        node_size=node_size,
        multilevel=False,  # networkx's semantics: plain ForceAtlas2 from pos or seed
        **backend_kwargs,
    )
    _forget_conversion(G)
    result = dict(zip(G, positions))
    if store_pos_as is not None:
        for node, xy in result.items():
            G.nodes[node][store_pos_as] = xy
    return result


_BACKEND_KWARGS = ("threads", "progress", "barnes_hut", "barnes_hut_theta")


def _forget_conversion(G: Any) -> None:
    """Drop the copy networkx cached of ``G`` "converted" for this backend.

    Conversion returns the graph itself, so the cache saves nothing; left in
    place, every later call on the same graph prints networkx's long note
    that a cached graph is being used.
    """
    cache = getattr(G, "__networkx_cache__", None)
    if isinstance(cache, dict):
        cache.get("backends", {}).pop(BACKEND_NAME, None)


def _cannot_run(jitter_tolerance: object, dim: object) -> str:
    if dim != 2:
        return (
            f"dim={dim!r} is not supported, only dim=2 (call networkx's own "
            "forceatlas2_layout, without backend=, for other dimensions)"
        )
    if jitter_tolerance != 1.0:
        return (
            f"jitter_tolerance={jitter_tolerance!r} is not supported, only the default 1.0: "
            "every node adapts its own speed"
        )
    return ""


def can_run(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool | str:
    """Tell networkx whether this backend can honour a call.

    Parameters
    ----------
    name : str
        The networkx function's name.
    args, kwargs
        The arguments of the call, as the user passed them.

    Returns
    -------
    True or str
        True for every call of ``forceatlas2_layout``: the arguments it
        declines are named by the NotImplementedError it raises, which
        networkx keeps as the cause of its own error (a reason returned
        here would only be logged).
    """
    if name != "forceatlas2_layout":
        return f"{name} is not implemented by the {BACKEND_NAME} backend"
    return True


def should_run(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
    """Tell networkx that a call this backend can run is worth running here."""
    return True


class BackendInterface:
    """The object networkx loads from the ``networkx.backends`` entry point.

    The backend works on networkx graphs directly, so converting a graph to
    and from this backend returns it unchanged; results are plain dicts.
    """

    forceatlas2_layout = staticmethod(forceatlas2_layout)
    can_run = staticmethod(can_run)
    should_run = staticmethod(should_run)

    @staticmethod
    def convert_from_nx(graph: Any, *args: Any, **kwargs: Any) -> Any:
        """Return ``graph`` itself: the backend reads networkx graphs."""
        return graph

    @staticmethod
    def convert_to_nx(obj: Any, *args: Any, **kwargs: Any) -> Any:
        """Return ``obj`` itself: results are already networkx-style."""
        return obj
