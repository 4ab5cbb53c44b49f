"""A legend painted onto a finished picture, for pictures that are pixels, not plots.

datashader's pictures come out as images with no axes to hang a legend on,
so the legend is drawn with Pillow (which datashader's PNG output needs
anyway) in the style of the matplotlib pictures' legend: a title, then a
coloured dot and a text per entry, in a white box at the upper right.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

__all__ = ["LegendEntry", "draw_pixel_legend"]

LegendEntry = tuple[str, str]  # ("#rrggbb", text)

_BOX_OPACITY = 217  # of 255, as matplotlib's legend frame (0.85)
_TEXT = (34, 34, 34, 255)
_FRAME = (204, 204, 204, 255)


def _font(size: int) -> Any:
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1 has one small bitmap font
        return ImageFont.load_default()


def draw_pixel_legend(image: Any, title: str, entries: Sequence[LegendEntry]) -> Any:
    """Return ``image`` with a legend box in its upper right corner.

    Parameters
    ----------
    image : PIL.Image.Image
        The picture.
    title : str
        The legend's first line.
    entries : sequence of (colour, text)
        One line each: a dot of the colour (``"#rrggbb"``), then the text.

    Returns
    -------
    PIL.Image.Image
        A new RGBA image; the text scales with the picture's smaller side.
    """
    from PIL import Image, ImageDraw

    size = max(10, round(min(image.size) / 100))
    font = _font(size)
    line = round(size * 1.5)
    pad = round(size * 0.7)
    radius = max(2, round(size * 0.35))
    measure = ImageDraw.Draw(image)
    widest = max(
        [measure.textlength(title, font=font)]
        + [2 * radius + pad / 2 + measure.textlength(text, font=font) for _, text in entries]
    )
    width, height = round(widest) + 2 * pad, line * (1 + len(entries)) + 2 * pad
    right, top = image.size[0] - size, size
    left = max(0, right - width)
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    draw.rectangle((left, top, right, top + height), fill=(255, 255, 255, _BOX_OPACITY))
    draw.rectangle((left, top, right, top + height), outline=_FRAME)
    draw.text((left + pad, top + pad), title, font=font, fill=_TEXT)
    for k, (colour, text) in enumerate(entries):
        middle = top + pad + line * (k + 1) + line // 2
        dot_x = left + pad + radius
        draw.ellipse(
            (dot_x - radius, middle - radius, dot_x + radius, middle + radius), fill=colour
        )
        # No anchor: Pillow's bitmap font (before 10.1) takes none.
        draw.text((dot_x + radius + pad / 2, middle - size * 0.6), text, font=font, fill=_TEXT)
    return Image.alpha_composite(image.convert("RGBA"), overlay)
