"""Many graphs at once: a thread pool in this process, or a Dask cluster.

``layout_many`` lays out an iterable of graphs and returns their positions in
input order, each the same to the last bit as a lone ``layout()`` call.
Without a client the graphs share this process's cores on threads (the
kernel releases the interpreter lock); with a ``dask.distributed.Client``
each graph travels as compact arrays to a worker. ``layout_directory`` does
the same for every graph file of a directory, as ``tallow-fa2 --batch``.
The cluster path needs ``pip install 'tallow_forceatlas2[batch]'``.
"""

from __future__ import annotations

from tallow_forceatlas2.batch.files import batch_command, layout_directory
from tallow_forceatlas2.batch.many import layout_many
from tallow_forceatlas2.batch.outcome import BatchError

__all__ = ["BatchError", "batch_command", "layout_directory", "layout_many"]
