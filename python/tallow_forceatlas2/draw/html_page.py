"""Writing the HTML view's page: the viewer's script and style, JSON and binary blobs.

Arrays go into the page as base64 text in ``<script type=
"application/octet-stream">`` blocks, which the browser neither runs nor
parses: a float32 position costs 5.3 bytes of page, so a million nodes with
ten million edges fit in well under 100 MB. Text (labels, attribute values)
goes into one JSON block, with ``<`` escaped so that no value can end it.
"""

from __future__ import annotations

import base64
import html
import json
from collections.abc import Mapping
from importlib import resources
from pathlib import Path
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["write_page"]

# Base64 is written in slices of this many bytes (a multiple of 3, so the
# slices join without padding in between), to bound the memory it takes.
_SLICE = 3 << 20


def _asset(name: str) -> str:
    return resources.files("tallow_forceatlas2.draw").joinpath(name).read_text(encoding="utf-8")


def _json_text(value: Any) -> str:
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    # "</script>" or "<!--" inside a string would end or disturb the block.
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def _write_blob(out: IO[str], name: str, array: NDArray[Any]) -> None:
    data = np.ascontiguousarray(array).astype(array.dtype.newbyteorder("<"), copy=False)
    raw = data.tobytes()
    out.write(f'<script type="application/octet-stream" id="tallow-blob-{name}">')
    for start in range(0, len(raw), _SLICE):
        out.write(base64.b64encode(raw[start : start + _SLICE]).decode("ascii"))
    out.write("</script>\n")


def write_page(
    path: Path, title: str, meta: Mapping[str, Any], blobs: Mapping[str, NDArray[Any]]
) -> None:
    """Write the self-contained page.

    Parameters
    ----------
    path : Path
        The HTML file.
    title : str
        The page's title.
    meta : mapping
        What the viewer reads as JSON (see ``html_viewer.js``).
    blobs : mapping of str to ndarray
        Binary arrays by the name the viewer reads them under.

    Raises
    ------
    OSError
        When the file cannot be written.
    """
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n')
        out.write('<meta name="viewport" content="width=device-width, initial-scale=1">\n')
        out.write(f"<title>{html.escape(title)}</title>\n")
        out.write(f"<style>\n{_asset('html_viewer.css')}</style>\n</head>\n<body>\n")
        out.write('<div id="tallow-app"></div>\n')
        out.write('<script type="application/json" id="tallow-meta">')
        out.write(_json_text(dict(meta)))
        out.write("</script>\n")
        for name, array in blobs.items():
            _write_blob(out, name, array)
        out.write(f"<script>\n{_asset('html_viewer.js')}</script>\n</body>\n</html>\n")
