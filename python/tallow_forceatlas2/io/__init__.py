"""Reading and writing graph and position files.

:mod:`.readers` reads edge lists, graph files and community tables (with
:mod:`.fast_csv` for big edge lists); :mod:`.writers` writes positions;
``write_gexf`` and ``write_graphml`` save a laid-out graph for Gephi and
other tools.
"""

from __future__ import annotations

from tallow_forceatlas2.io.gexf import write_gexf
from tallow_forceatlas2.io.graphml import write_graphml

__all__ = ["write_gexf", "write_graphml"]
