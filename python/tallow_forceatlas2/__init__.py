"""Fast, deterministic ForceAtlas2 graph layouts.

``layout`` lays out an edge array, a SciPy sparse matrix, a networkx or an
igraph graph and returns an ``(n, 2)`` array of positions;
``forceatlas2_layout`` takes the same graphs and returns a dict of node
positions like networkx's own layout functions. ``layout_raw`` is the
unchecked kernel entry point underneath both.
"""

from __future__ import annotations

from importlib import import_module
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import TYPE_CHECKING, Any

try:
    from tallow_forceatlas2._native import layout_raw
except ImportError as exc:  # pragma: no cover - only on a broken install
    _here = Path(__file__).resolve().parent
    raise ImportError(
        f"tallow_forceatlas2: the compiled extension '_native' could not be imported "
        f"from {_here} ({exc}). Build and install the package with "
        f"'pip install .' from a source checkout (needs a C++20 compiler and "
        f"CMake), or reinstall the wheel. If {_here} is the source tree, run "
        f"Python from another directory so the installed package is imported."
    ) from exc

if TYPE_CHECKING:
    from tallow_forceatlas2.api import layout
    from tallow_forceatlas2.nx.layout import forceatlas2_layout

__all__ = ["forceatlas2_layout", "layout", "layout_raw"]

try:
    __version__ = version("tallow_forceatlas2")
except PackageNotFoundError:  # pragma: no cover - imported from a source tree
    __version__ = "0+unknown"

# networkx imports this package while it starts (for its backend registry), so
# anything that pulls in NumPy is loaded on first use, not at import time.
_LAZY = {
    "layout": "tallow_forceatlas2.api",
    "forceatlas2_layout": "tallow_forceatlas2.nx.layout",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tallow_forceatlas2' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
