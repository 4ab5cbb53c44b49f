"""Number the node labels of an edge list read block by block, in order of first appearance.

Nodes are numbered as the plain reader meets them: row by row, the source
before the target. Each block's labels are hashed (pyarrow's hash tables, no
Python work per row) into codes and the block's own label list in the order
the block meets them (on a worker thread, while the previous block is
merged); that list, hashed after the labels met so far, gives each of its
codes a number for good. Only the int32 codes (in the edge
array's own memory) and the labels met so far are kept, not the text.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["NodeNumbering"]


class NodeNumbering:
    """Collects the blocks of an edge list and numbers their nodes.

    Parameters
    ----------
    pa, pc : module
        ``pyarrow`` and ``pyarrow.compute``, imported by the caller.
    pool : pyarrow.MemoryPool
        Where pyarrow allocates.
    max_edges : int
        At most how many edges will be added (e.g. the file's line count).
        The int64 edge array is allocated once at this size, the blocks'
        int32 codes kept in its first half and widened in place at the
        end; pages never written take no memory.
    """

    def __init__(self, pa: Any, pc: Any, pool: Any, max_edges: int) -> None:
        self._pa, self._pc, self._pool = pa, pc, pool
        self._edges = np.empty(2 * max_edges, dtype=np.int64)
        self._codes = self._edges.view(np.int32)
        self._labels = pa.array([], pa.string())
        self.edge_count = 0

    def reserve(self, count: int) -> int:
        """Set apart the places of a block's ``count`` edges; return where its ends begin.

        Raises
        ------
        ValueError
            Past ``max_edges``.
        """
        begin = 2 * self.edge_count
        if begin + 2 * count > len(self._edges):
            raise ValueError("more edges than the file has lines")
        self.edge_count += count
        return begin

    def encode(self, sources: Any, targets: Any, begin: int) -> Any:
        """Code a block's edges (pyarrow string arrays) in the block's own numbering.

        The codes go to the block's places (from :meth:`reserve`); the block's
        labels, in the order it meets them, are returned for :meth:`merge`.
        Blocks may be encoded on other threads, each before its merge.
        """
        pa, pc = self._pa, self._pc
        count = len(sources)
        # One hash table for both columns: codes for all the sources, then all
        # the targets; interleaved, then numbered again (int32 hashing, cheap)
        # in the order the rows meet them.
        chunks = [*_chunks(sources), *_chunks(targets)]
        encoded = pc.dictionary_encode(
            pa.chunked_array(chunks, type=pa.string()), memory_pool=self._pool
        )
        del chunks
        codes = self._codes[begin : begin + 2 * count]
        start = 0
        for chunk in encoded.chunks:
            side = int(start >= count)  # sources fill the even slots, targets the odd ones
            row = start - side * count
            codes[2 * row + side : 2 * (row + len(chunk)) + side : 2] = chunk.indices.to_numpy()
            start += len(chunk)
        labels = encoded.chunk(0).dictionary if encoded.num_chunks else pa.array([], pa.string())
        del encoded
        renumbered = pc.dictionary_encode(pa.array(codes), memory_pool=self._pool)
        codes[:] = renumbered.indices.to_numpy()
        return pc.take(labels, renumbered.dictionary, memory_pool=self._pool)

    def merge(self, labels: Any, begin: int, count: int) -> None:
        """Number a block's labels after those met so far, and its codes with them; in order."""
        pa, pc = self._pa, self._pc
        if count == 0:
            return
        # The labels so far, then the block's: the known keep their numbers.
        merged = pc.dictionary_encode(
            pa.chunked_array([self._labels, labels], type=pa.string()), memory_pool=self._pool
        )
        block_numbers = merged.chunk(merged.num_chunks - 1)  # no chunk for no labels so far
        self._labels = block_numbers.dictionary
        codes = self._codes[begin : begin + 2 * count]
        codes[:] = block_numbers.indices.to_numpy()[codes]

    def finish(self) -> tuple[Any, NDArray[np.int64]]:
        """Return every label in order of first appearance (a pyarrow array) and the edges.

        Returns
        -------
        labels : pyarrow.StringArray
            Node i's label at index i.
        edges : ndarray of int64, shape (m, 2)
            Source and target numbers, in file order.
        """
        # From the back: an int64 written at i covers the int32 codes 2i and
        # 2i + 1, never one still to be read (those lie below i).
        end = 2 * self.edge_count
        for stop in range(end, 0, -_WIDEN_STEP):
            first = max(0, stop - _WIDEN_STEP)
            self._edges[first:stop] = self._codes[first:stop].copy()
        edges = self._edges[:end].reshape(-1, 2)
        del self._edges, self._codes
        return self._labels, edges


_WIDEN_STEP = 1 << 20


def _chunks(column: Any) -> list[Any]:
    return list(column.chunks) if hasattr(column, "chunks") else [column]
