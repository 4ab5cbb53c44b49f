"""Progress over the graphs of a batch: a tqdm bar, a callable, or nothing."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager

from tallow_forceatlas2.progress import check_progress

__all__ = ["BatchProgress", "graph_counter"]

BatchProgress = bool | Callable[[int, "int | None"], object] | None


@contextmanager
def graph_counter(progress: BatchProgress, total: int | None) -> Iterator[Callable[[], None]]:
    """Yield a function to call once per finished graph, failed ones included.

    Parameters
    ----------
    progress : bool, callable or None
        ``True`` shows a tqdm bar counting graphs; a callable is called as
        ``progress(done, total)`` after every graph, with ``total`` None when
        the input has no length; ``False`` or ``None`` reports nothing.
    total : int or None
        Number of graphs, when known.
    """
    check_progress(progress)
    done = 0
    if progress is True:
        from tqdm import tqdm  # type: ignore[import-untyped]

        with tqdm(total=total, unit="graph") as bar:
            yield lambda: bar.update(1)
        return
    if not callable(progress):
        yield lambda: None
        return

    def advance() -> None:
        nonlocal done
        done += 1
        progress(done, total)

    yield advance
