"""The field separator of a table whose name says one thing and whose lines another.

Spreadsheets in many locales save ``.csv`` files with ``;`` between fields,
and tab-separated files are often named ``.csv`` too. When the separator the
extension implies does not occur in the first data line, the first of
``,``, tab, ``;`` and ``|`` that does is taken; a line of several words and
no separator at all is split at whitespace. Such a line could not be read with the extension's separator
anyway (a single field is never an edge nor a header), so no file that
reads today reads differently.
"""

from __future__ import annotations

__all__ = ["delimiter_hint", "detect_delimiter", "name_of"]

_CANDIDATES = (",", "\t", ";", "|")
_NAMES = {"\t": "tab", ",": "','", ";": "';'", "|": "'|'", " ": "space"}


def name_of(delimiter: str | None) -> str:
    """How messages name a separator (None: runs of whitespace)."""
    return "whitespace" if delimiter is None else _NAMES.get(delimiter, repr(delimiter))


def detect_delimiter(first_line: str, expected: str | None) -> str | None:
    """Return the separator of a table from its first data line.

    Parameters
    ----------
    first_line : str
        The table's first line that is neither blank nor a ``#`` comment.
    expected : str or None
        The separator the file's extension implies (None: whitespace).

    Returns
    -------
    str or None
        ``expected`` when the line contains it (for whitespace: when it has
        several fields), else the separator the line shows, else ``expected``.
    """
    if expected is None:
        if len(first_line.split()) > 1:
            return None
        candidates: tuple[str, ...] = _CANDIDATES
    else:
        if expected in first_line:
            return expected
        candidates = tuple(c for c in _CANDIDATES if c != expected)
    found = next((c for c in candidates if c in first_line), None)
    if found is not None:
        return found
    if expected is not None and len(first_line.split()) > 1:
        return None
    return expected


def delimiter_hint(fields: list[str], delimiter: str | None) -> str:
    """A hint for a line read as one field that another separator would split, else ``""``."""
    if len(fields) != 1:
        return ""
    other = detect_delimiter(fields[0], delimiter)
    if other == delimiter:
        return ""
    if other is None:
        how = "name the file .txt or pass --format txt"
    else:
        how = f"pass --delimiter {'tab' if other == chr(9) else repr(other)}"
    return f"; the fields look separated by {name_of(other)}, not {name_of(delimiter)}: {how}"
