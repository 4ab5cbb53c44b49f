"""Compressed input files (gzip, bzip2, xz), read through with limits that keep a bomb harmless.

A compressed file is known by its first bytes, whatever its name, and its
format by its name without the compression's extension (``edges.csv.gz`` is
a CSV file). Decompression stops with an :class:`InputError` once the output
passes :data:`MAX_RATIO` times the compressed size (after the first
:data:`RATIO_FROM_BYTES`) or :data:`MAX_DECOMPRESSED_BYTES` in all: a few
kilobytes of gzip can unpack to gigabytes, and no real edge list compresses
a hundredfold. Readers that need a file of their own (the fast CSV reader,
the graph-file parsers) get a decompressed copy in a temporary directory.
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import tempfile
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

__all__ = [
    "COMPRESSED_SUFFIXES",
    "MAX_DECOMPRESSED_BYTES",
    "MAX_RATIO",
    "RATIO_FROM_BYTES",
    "compression_of",
    "decompressed_copy",
    "format_suffix",
    "open_input",
]

MAX_RATIO = 100
RATIO_FROM_BYTES = 64 << 20
MAX_DECOMPRESSED_BYTES = 8 << 30
COMPRESSED_SUFFIXES = {".gz": "gzip", ".gzip": "gzip", ".bz2": "bzip2", ".xz": "xz"}

_MAGIC = {b"\x1f\x8b": "gzip", b"BZh": "bzip2", b"\xfd7zXZ\x00": "xz"}
_OPENERS: dict[str, Callable[[BinaryIO], io.BufferedIOBase]] = {
    # Closed by _BoundedReader.close, with the file under them.
    "gzip": lambda raw: gzip.GzipFile(fileobj=raw, mode="rb"),
    "bzip2": lambda raw: bz2.BZ2File(raw),
    "xz": lambda raw: lzma.LZMAFile(raw),  # noqa: SIM115
}
_TOOLS = {"gzip": "gunzip -k", "bzip2": "bunzip2 -k", "xz": "unxz -k"}
_BROKEN = (OSError, EOFError, zlib.error, lzma.LZMAError)
_CHUNK = 1 << 20


def _input_error(path: Path, message: str) -> Exception:
    from tallow_forceatlas2.io.readers import InputError  # readers imports this module

    return InputError(path, None, message)


def compression_of(head: bytes) -> str | None:
    """The compression a file's first bytes announce ("gzip", "bzip2", "xz"), or None."""
    return next((kind for magic, kind in _MAGIC.items() if head.startswith(magic)), None)


def format_suffix(path: Path) -> str:
    """The extension that names a file's format: ``.csv`` for ``edges.csv.gz``, lower case."""
    suffixes = [suffix.lower() for suffix in path.suffixes]
    if len(suffixes) >= 2 and suffixes[-1] in COMPRESSED_SUFFIXES:
        return suffixes[-2]
    return path.suffix.lower()


class _BoundedReader(io.RawIOBase):
    """The decompressed bytes of a stream, refused past the size limits."""

    def __init__(
        self, stream: io.BufferedIOBase, raw: BinaryIO, path: Path, kind: str, compressed: int
    ) -> None:
        super().__init__()
        self._stream, self._raw, self._path, self._kind = stream, raw, path, kind
        self._limit = min(MAX_DECOMPRESSED_BYTES, max(RATIO_FROM_BYTES, MAX_RATIO * compressed))
        self._read = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        try:
            count = self._stream.readinto(buffer)
        except _BROKEN as exc:
            raise _input_error(self._path, self._broken(exc)) from None
        self._read += count
        if self._read > self._limit:
            raise _input_error(self._path, self._too_big())
        return int(count)

    def _broken(self, exc: BaseException) -> str:
        if isinstance(exc, EOFError):
            return f"is a truncated {self._kind} file: it ends before its end-of-stream marker"
        detail = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        return f"is not a valid {self._kind} file: {detail}"

    def _too_big(self) -> str:
        bound = (
            f"{MAX_DECOMPRESSED_BYTES / 2**30:g} GiB"
            if self._limit == MAX_DECOMPRESSED_BYTES
            else f"{self._limit / 2**20:,.0f} MiB, over {MAX_RATIO} times its compressed size"
        )
        return (
            f"decompresses to more than {bound}, the limit that keeps a decompression bomb "
            f"harmless; if you trust the file, decompress it first ({_TOOLS[self._kind]} "
            "FILE) and read the result"
        )

    def close(self) -> None:
        self._stream.close()  # the decompressors leave the file they read open
        self._raw.close()
        super().close()


def open_input(path: Path) -> BinaryIO:
    """Open a file for reading bytes, decompressing it (within the limits) if it is compressed.

    Raises
    ------
    OSError
        When the file cannot be opened, as :meth:`Path.open` does.
    """
    handle = path.open("rb")
    try:
        kind = compression_of(handle.peek(8)[:8])
        if kind is None:
            return handle
        size = path.stat().st_size if path.is_file() else 0
        stream = _OPENERS[kind](handle)
    except BaseException:
        handle.close()
        raise
    return io.BufferedReader(_BoundedReader(stream, handle, path, kind, size), _CHUNK)


def _is_compressed(path: Path) -> bool:
    try:
        with path.open("rb") as handle:
            return compression_of(handle.read(8)) is not None
    except OSError:
        return False  # the reader says what is wrong with the file


@contextmanager
def decompressed_copy(path: Path) -> Iterator[Path | None]:
    """Yield a decompressed copy of a compressed file (named for its format), else None.

    The copy lives in a temporary directory (``TMPDIR``) until the ``with``
    block ends.

    Raises
    ------
    InputError
        For a corrupt or truncated file, one past the size limits, or a
        temporary directory without room for the copy.
    """
    if not _is_compressed(path):
        yield None
        return
    name = path.name
    if path.suffix.lower() in COMPRESSED_SUFFIXES and path.stem:
        name = path.stem
    with tempfile.TemporaryDirectory(prefix="tallow-fa2-") as folder:
        copy = Path(folder) / name
        with open_input(path) as source:
            try:
                with copy.open("wb") as out:
                    while chunk := source.read(_CHUNK):
                        out.write(chunk)
            except OSError as exc:
                raise _input_error(
                    path, f"cannot decompress it into {folder}: {exc.strerror or exc}"
                ) from None
        yield copy
