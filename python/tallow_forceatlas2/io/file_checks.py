"""Checks on files before they are read or written: binary inputs, outputs over inputs."""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

from tallow_forceatlas2.io.readers import InputError

__all__ = ["SNIFF_BYTES", "check_text_file", "input_overwritten_by"]

# How much of a file is looked at for NUL bytes: text never holds one, and a
# binary file (an image, a database, a file of zeros) shows one at once.
SNIFF_BYTES = 1 << 16

# Files that hold NUL bytes and are still read: compressed text and text in
# UTF-16 or UTF-32 (with a byte-order mark, or XML that opens with '<').
_NOT_BINARY_OPENINGS = (
    b"\x1f\x8b",  # gzip
    b"BZh",  # bzip2
    b"\xfd7zXZ\x00",  # xz
    b"\x28\xb5\x2f\xfd",  # zstandard
    b"PK\x03\x04",  # zip
    b"\xff\xfe",  # UTF-16 and UTF-32, little-endian
    b"\xfe\xff",  # UTF-16, big-endian
    b"\x00\x00\xfe\xff",  # UTF-32, big-endian
    b"<\x00",  # UTF-16 XML without a byte-order mark
    b"\x00<",
)


def check_text_file(path: Path) -> None:
    """Refuse a file that holds NUL bytes near its start, naming it for what it is.

    Reading such a file line by line would take all of it for one line (a
    2 GiB file of zeros has no line end) and end in "out of memory". Files
    that cannot be opened are left to the readers, which say why.

    Raises
    ------
    InputError
        When the first ``SNIFF_BYTES`` bytes hold a NUL byte and the file
        does not open as compressed or UTF-16/32 text does.
    """
    try:
        with path.open("rb") as handle:
            head = handle.read(SNIFF_BYTES)
    except OSError:
        return
    if b"\x00" in head and not head.startswith(_NOT_BINARY_OPENINGS):
        raise InputError(path, None, "not a text file: it holds NUL bytes")


def _same_file(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)  # hard links too
    except OSError:  # one of them does not exist (yet)
        return False


def input_overwritten_by(
    outputs: Iterable[Path], inputs: Iterable[Path | None]
) -> tuple[Path, Path] | None:
    """Return the first (output, input) pair that name the same file, if any.

    Paths are compared resolved (``./e.csv``, symbolic links) and by file
    identity (hard links); ``-`` (standard input) and None are skipped.
    """
    given = [path for path in inputs if path is not None and str(path) != "-"]
    for output in outputs:
        for path in given:
            if _same_file(output, path):
                return output, path
    return None
