"""Reading and writing graph and position files.

``write_gexf`` and ``write_graphml`` save a laid-out graph for Gephi and
other tools; ``read_edge_table`` is the fast reader of big edge lists.
"""

from __future__ import annotations

from tallow_forceatlas2.io.gexf import write_gexf
from tallow_forceatlas2.io.graphml import write_graphml

__all__ = ["write_gexf", "write_graphml"]
