"""When a layout's default is more than one worker thread."""

from __future__ import annotations

__all__ = ["EXACT_PARALLEL_FROM_NODES", "PARALLEL_FROM_NODES", "runs_parallel"]

# Below this many nodes waking the worker threads every iteration costs more
# than the Barnes-Hut walks they share (measured on 2 cores with the default
# settings: 2 threads ran 1,000 nodes 15% and 2,000 nodes 4-7% slower than 1
# thread, 2,500 nodes 9% faster).
PARALLEL_FROM_NODES = 2500
# Exact repulsion's pairs grow as the square of the nodes, and the workers
# share them from this many (2 threads against 1 on 2 cores: 768 nodes 1.35
# times as fast, 1,000 nodes 1.45, 2,000 nodes 1.7; 500 nodes slower).
EXACT_PARALLEL_FROM_NODES = 768


def runs_parallel(barnes_hut: bool, n_nodes: int) -> bool:
    """Whether more than one thread makes such a layout faster.

    Parameters
    ----------
    barnes_hut : bool
        The kernel's ``barnesHutOptimize`` setting.
    n_nodes : int
        Nodes of the graph laid out.

    Returns
    -------
    bool
        True from ``PARALLEL_FROM_NODES`` nodes with Barnes-Hut repulsion and
        from ``EXACT_PARALLEL_FROM_NODES`` without; the result never depends
        on the thread count.
    """
    return n_nodes >= (PARALLEL_FROM_NODES if barnes_hut else EXACT_PARALLEL_FROM_NODES)
