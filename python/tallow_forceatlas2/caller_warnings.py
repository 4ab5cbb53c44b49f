"""Warnings that point at the user's line, however deep in the package they arise.

A fixed ``stacklevel`` is right for one call path only: the same check runs
under ``layout``, ``forceatlas2_layout``, networkx's backend dispatch and the
graph-file writers, each a different number of frames below the user's code.
The level is counted instead: every frame of this package, and of networkx's
dispatcher when it calls in, is passed over.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

__all__ = ["warn_caller"]

_PACKAGE = str(Path(__file__).resolve().parent)


def _inside(filename: str) -> bool:
    # networkx's dispatcher lives in networkx/utils; its argmap wrappers are
    # compiled with file names such as "<class 'networkx.utils.decorators.argmap'> ...".
    if filename.startswith("<class 'networkx."):
        return True
    if filename.startswith("<"):
        return False
    path = str(Path(filename).resolve())
    return path.startswith(_PACKAGE) or f"{Path('networkx', 'utils')}" in path


def warn_caller(message: str, category: type[Warning] = UserWarning) -> None:
    """Issue a warning attributed to the first frame outside this package.

    Parameters
    ----------
    message : str
        The warning's text.
    category : Warning subclass, default UserWarning
        Its category.
    """
    level = 2  # warnings.warn's level of warn_caller's own caller
    frame = sys._getframe(1)
    while frame is not None and _inside(frame.f_code.co_filename):
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    warnings.warn(message, category, stacklevel=level)
