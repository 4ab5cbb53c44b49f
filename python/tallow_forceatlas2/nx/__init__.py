"""The networkx glue: ``forceatlas2_layout`` and the networkx backend "tallow".

:mod:`.layout` holds ``forceatlas2_layout``, which returns a dict of node
positions like networkx's own layouts; :mod:`.backend` is what networkx loads
for ``nx.forceatlas2_layout(G, backend="tallow")``. networkx imports the
backend while it is itself starting, so this package loads neither networkx
nor NumPy and names only its two modules; ``forceatlas2_layout`` is also
``tallow_forceatlas2.forceatlas2_layout``.
"""

from __future__ import annotations

__all__ = ["backend", "layout"]
