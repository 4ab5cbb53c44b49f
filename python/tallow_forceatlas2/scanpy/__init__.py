"""ForceAtlas2 on AnnData: a drop-in for scanpy's ``sc.tl.draw_graph(adata, layout="fa")``.

>>> from tallow_forceatlas2.scanpy import draw_graph
>>> draw_graph(adata)                      # this package's defaults  # doctest: +SKIP
>>> draw_graph(adata, preset="scanpy")     # scanpy's own settings     # doctest: +SKIP
>>> sc.pl.draw_graph(adata, color="louvain")                           # doctest: +SKIP

Needs anndata (``pip install 'tallow_forceatlas2[scanpy]'``) only for the
objects it is given; scanpy only for ``init_pos="paga"``.
"""

from __future__ import annotations

from tallow_forceatlas2.scanpy.draw_graph import SCANPY_SETTINGS, draw_graph

__all__ = ["SCANPY_SETTINGS", "draw_graph"]
