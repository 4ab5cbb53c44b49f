"""Echo a value from the user's input in a message, cut to a readable length.

A message that quotes a field must stay one readable line even when the
field is a megabyte long (a weight column holding a whole file, say): the
echo keeps the first characters and says how long the field was.
"""

from __future__ import annotations

__all__ = ["ECHO_LENGTH", "echo"]

# Characters of a field shown before the cut: enough to recognise it.
ECHO_LENGTH = 60


def echo(value: object) -> str:
    """Return ``repr(value)``, or for longer values its start and the full length.

    Parameters
    ----------
    value : object
        A field, node name or other value taken from the input; a string is
        measured by its characters, anything else by its ``repr``.

    Returns
    -------
    str
        ``repr(value)`` when the value has at most ``ECHO_LENGTH`` characters,
        else e.g. ``'abc...'... (1,048,576 characters)``.

    Examples
    --------
    >>> echo("ab")
    "'ab'"
    >>> echo("x" * 100)
    "'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... (100 characters)"
    """
    text = value if isinstance(value, str) else repr(value)
    if len(text) <= ECHO_LENGTH:
        return repr(value)
    head = repr(text[:ECHO_LENGTH]) if isinstance(value, str) else text[:ECHO_LENGTH]
    return f"{head}... ({len(text):,} characters)"
