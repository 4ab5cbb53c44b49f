"""Progress reporting, and the hook that makes Ctrl-C work during a layout.

The kernel runs with the interpreter lock released, and Python runs signal
handlers only when the main thread executes Python code. The kernel calls the
progress callback after every iteration, so a layout always gets one: even a
callback that does nothing lets a pending KeyboardInterrupt be raised there,
and the kernel passes it on unchanged.
"""

from __future__ import annotations

import importlib.util
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager

__all__ = ["Progress", "check_progress", "progress_callback"]

ProgressCallback = Callable[[int, int], object]
Progress = bool | ProgressCallback | None

# A bar appears only once a run has taken this long, so short runs stay quiet.
BAR_DELAY_SECONDS = 0.5


def _on_terminal(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError, OSError):  # no isatty, or a closed stream
        return False


def _tick(done: int, total: int) -> None:
    """Do nothing; calling it is what lets Ctrl-C through."""


def check_progress(progress: object) -> None:
    """Raise if ``progress`` is not usable, before any work starts.

    Parameters
    ----------
    progress : bool, callable or None
        What :func:`progress_callback` accepts.

    Raises
    ------
    TypeError
        For anything else.
    ModuleNotFoundError
        For ``True`` when tqdm is not installed.
    """
    if progress is None or progress is False:
        return
    if progress is True:
        if importlib.util.find_spec("tqdm") is None:
            raise ModuleNotFoundError(
                "progress=True needs tqdm: pip install 'tallow_forceatlas2[progress]'"
            )
        return
    if not callable(progress):
        raise TypeError(
            f"progress must be True, False or a callable f(done, total), "
            f"not {type(progress).__name__}"
        )


@contextmanager
def progress_callback(progress: Progress, total: int) -> Iterator[ProgressCallback]:
    """Yield the callback to hand to the kernel for a run of ``total`` iterations.

    Parameters
    ----------
    progress : bool, callable or None
        ``True`` shows a tqdm bar on standard error for runs that last longer
        than half a second (wiped at the end on a terminal, left at its final
        count in a pipe or a file); a callable is called as ``progress(done, total)``
        after every iteration and may raise to stop the run; ``False`` or
        ``None`` reports nothing.
    total : int
        Number of iterations of the run.

    Yields
    ------
    callable
        ``f(done, total)``; the bar, if any, is closed when the block ends.
    """
    check_progress(progress)
    if progress is None or progress is False:
        yield _tick
        return
    if progress is True:
        from tqdm import tqdm  # type: ignore[import-untyped]

        # On a terminal the bar is wiped when the run ends. A pipe or a log
        # cannot be wiped, and its last line would be the last throttled
        # update (999/1000): there the final count is written out instead.
        leave = not _on_terminal(sys.stderr)
        with tqdm(total=total, unit="it", delay=BAR_DELAY_SECONDS, leave=leave) as bar:

            def advance(done: int, total: int) -> None:
                # A multilevel layout reports the iterations of all its levels.
                if bar.total != total:
                    bar.total = total
                bar.update(done - bar.n)

            yield advance
        return
    assert callable(progress)
    yield progress
