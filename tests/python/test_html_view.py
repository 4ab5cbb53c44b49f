"""The HTML view: the page's data, and the page itself in headless Chromium.

The browser tests need selenium (pip) and Debian's chromium and
chromium-driver (apt); without them they skip and say what to install.
"""

from __future__ import annotations

import base64
import io
import json
import os
import re
import shutil
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.draw import to_html
from tallow_forceatlas2.draw.plot import COMMUNITY_COLOURS

# Four nodes at the corners of a square, large enough to hit with a pixel.
SQUARE = np.array([[0.0, 0.0], [10.0, 0.0], [0.0, 10.0], [10.0, 10.0]])
NAMES = ["alpha", "beta", "gamma", "delta"]
SQUARE_EDGES = [[0, 1], [1, 3]]


def write_square(path: Path) -> Path:
    to_html(
        path,
        SQUARE,
        SQUARE_EDGES,
        labels=NAMES,
        communities=["a", "b", "c", "d"],
        node_sizes=[1.0] * 4,
        attributes={"kind": ["x", "y", "x", "<b>bold</b>"]},
    )
    return path


def page_part(text: str, name: str) -> str:
    found = re.search(rf'<script type="[^"]+" id="tallow-{name}">(.*?)</script>', text, re.DOTALL)
    assert found, name
    return found.group(1)


def blob(text: str, name: str, dtype: Any) -> np.ndarray:
    return np.frombuffer(base64.b64decode(page_part(text, f"blob-{name}")), dtype=dtype)


# ---- the page's data -------------------------------------------------------


def test_page_holds_the_layout_and_needs_no_network(tmp_path: Path) -> None:
    text = write_square(tmp_path / "square.html").read_text(encoding="utf-8")
    meta = json.loads(page_part(text, "meta"))
    assert meta["labels"] == NAMES and meta["title"] == "square"
    positions = blob(text, "positions", "<f4").reshape(-1, 2)
    np.testing.assert_array_equal(positions, SQUARE - SQUARE.mean(axis=0))
    counts = blob(text, "edge-counts", "<u4")
    targets = blob(text, "edge-targets", "<u4")
    assert sorted(zip(np.repeat(np.arange(4), counts).tolist(), targets.tolist())) == [
        (0, 1),
        (1, 3),
    ]
    assert not re.search(r"\b(src|href)\s*=", text), "the page must load nothing"


def test_labels_cannot_break_out_of_the_page(tmp_path: Path) -> None:
    hostile = ["</script><script>alert(1)</script>", "<!--", "line\u2028break", "ünï"]
    path = tmp_path / "x.html"
    to_html(path, SQUARE, labels=hostile, title="<i>title</i>")
    text = path.read_text(encoding="utf-8")
    assert "<script>alert" not in text and "<i>title" not in text
    assert json.loads(page_part(text, "meta"))["labels"] == hostile


def test_edges_beyond_max_edges_are_sampled(tmp_path: Path) -> None:
    rng = np.random.default_rng(1)
    edges = rng.integers(0, 50, size=(100, 2))
    path = tmp_path / "many.html"
    to_html(path, rng.normal(size=(50, 2)), edges, max_edges=10)
    text = path.read_text(encoding="utf-8")
    assert json.loads(page_part(text, "meta"))["edges_total"] == 100
    assert len(blob(text, "edge-targets", "<u4")) == 10


def test_page_is_compact(tmp_path: Path) -> None:
    n, m = 20_000, 100_000
    rng = np.random.default_rng(2)
    path = tmp_path / "big.html"
    to_html(path, rng.normal(size=(n, 2)), rng.integers(0, n, size=(m, 2)))
    # In base64: float32 positions, a uint32 count of edges and a colour
    # byte a node, a uint32 target an edge; the degrees as JSON; the viewer.
    assert path.stat().st_size < 22 * n + 6 * m + 100_000


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        ({"positions": np.zeros((3, 1))}, ValueError, r"shape \(n, 2\) or \(n, 3\)"),
        ({"positions": [[0.0, np.nan]]}, ValueError, "finite"),
        ({"positions": [["a", "b"]]}, TypeError, "numbers"),
        ({"edges": [[0, 4]]}, ValueError, r"in \[0, 4\)"),
        ({"edges": [[0.0, 1.0]]}, TypeError, "integer"),
        ({"labels": ["a"]}, ValueError, "1 values for 4 nodes"),
        ({"labels": "abcd"}, TypeError, "one value per node"),
        ({"node_sizes": [1, 1, -1, 1]}, ValueError, ">= 0"),
        ({"color_by": "colour"}, ValueError, "color_by must be one of"),
        ({"max_edges": -1}, ValueError, "max_edges must be >= 0"),
        ({"max_edges": 2.5}, TypeError, "max_edges must be an int"),
        ({"attributes": {"degree": [1, 2, 3, 4]}}, ValueError, "'degree' is taken"),
    ],
    ids=lambda value: next(iter(value)) if isinstance(value, dict) else "",
)
def test_bad_input_is_refused(
    tmp_path: Path, change: dict[str, Any], error: type[Exception], match: str
) -> None:
    arguments: dict[str, Any] = {"positions": SQUARE, "edges": SQUARE_EDGES} | change
    with pytest.raises(error, match=match):
        to_html(tmp_path / "bad.html", **arguments)
    assert not (tmp_path / "bad.html").exists()


def test_command_line_writes_a_page(tmp_path: Path) -> None:
    graph = tmp_path / "g.csv"
    graph.write_text("a,b\nb,c\nc,a\nc,d\n")
    out = tmp_path / "g.html"
    assert main([str(graph), "-o", str(out), "--iterations", "20"]) == 0
    meta = json.loads(page_part(out.read_text(encoding="utf-8"), "meta"))
    assert meta["labels"] == ["a", "b", "c", "d"] and meta["edges_total"] == 4


# ---- the page in a browser -------------------------------------------------

WINDOW = (1400, 900)


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    webdriver = pytest.importorskip(
        "selenium.webdriver", reason="needs selenium (pip install selenium)"
    )
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        pytest.skip("needs chromium and chromedriver (apt-get install chromium chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in (
        "--headless=new",
        "--no-sandbox",
        f"--window-size={WINDOW[0]},{WINDOW[1]}",
        "--force-device-scale-factor=1",
        "--enable-unsafe-swiftshader",  # WebGL without a GPU
        "--use-angle=swiftshader",
    ):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitized test run preloads the ASan runtime, which the browser
    # must not inherit.
    clean = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(driver_path, env=clean), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def open_page(driver: Any, path: Path, renderer: str) -> dict[str, Any]:
    """Open a page, wait for the viewer; its renderer, canvas box and view."""
    driver.get(path.as_uri() + ("#canvas" if renderer == "canvas" else ""))
    deadline = time.monotonic() + 30
    while not driver.execute_script("return !!window.tallowViewer"):
        assert time.monotonic() < deadline, "the viewer did not start"
        time.sleep(0.05)
    state = driver.execute_script(
        "var v = tallowViewer, box = v.canvas.getBoundingClientRect();"
        "return {kind: v.renderer.kind, left: box.left, top: box.top, width: v.width,"
        " height: v.height, zoom: v.camera.zoom};"
    )
    if state["kind"] != renderer:
        pytest.skip(f"this browser draws with {state['kind']}, not {renderer}")
    return dict(state)


def console_errors(driver: Any) -> list[str]:
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def screenshot(driver: Any) -> np.ndarray:
    from PIL import Image

    # Two animation frames: the last drawing is on screen.
    driver.execute_script(
        "return new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))"
    )
    image = Image.open(io.BytesIO(driver.get_screenshot_as_png())).convert("RGB")
    return np.asarray(image, dtype=np.int16)


def on_screen(state: dict[str, Any], point: np.ndarray, centre: np.ndarray) -> tuple[int, int]:
    """Where the page should draw a layout point: the view is centred, y up."""
    x = state["left"] + state["width"] / 2 + (point[0] - centre[0]) * state["zoom"]
    y = state["top"] + state["height"] / 2 - (point[1] - centre[1]) * state["zoom"]
    return round(x), round(y)


def colour(hex_colour: str) -> np.ndarray:
    return np.array([int(hex_colour[i : i + 2], 16) for i in (1, 3, 5)])


def assert_colour(pixels: np.ndarray, at: tuple[int, int], expected: np.ndarray) -> None:
    found = pixels[at[1], at[0]]
    assert np.abs(found - expected).max() <= 12, f"pixel {at} is {found}, expected {expected}"


RENDERERS = pytest.mark.parametrize("renderer", ["webgl", "canvas"])


@RENDERERS
def test_nodes_are_drawn_where_the_layout_puts_them(
    browser: Any, tmp_path: Path, renderer: str
) -> None:
    state = open_page(browser, write_square(tmp_path / "square.html"), renderer)
    pixels = screenshot(browser)
    centre = SQUARE.mean(axis=0)
    for point, hex_colour in zip(SQUARE, COMMUNITY_COLOURS):
        assert_colour(pixels, on_screen(state, point, centre), colour(hex_colour))
    assert_colour(pixels, on_screen(state, centre, centre), colour("#ffffff"))
    edge = on_screen(state, np.array([5.0, 0.0]), centre)
    around = pixels[edge[1] - 2 : edge[1] + 3, edge[0] - 2 : edge[0] + 3]
    assert (around.max(axis=2) < 250).any(), "the edge alpha-beta is missing"
    assert console_errors(browser) == []


@RENDERERS
def test_hover_shows_label_and_attributes(browser: Any, tmp_path: Path, renderer: str) -> None:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    state = open_page(browser, write_square(tmp_path / "square.html"), renderer)
    canvas = browser.find_element(By.ID, "tallow-canvas")
    offset = (SQUARE[3] - SQUARE.mean(axis=0)) * state["zoom"]
    ActionChains(browser).move_to_element_with_offset(
        canvas, round(offset[0]) + 3, -round(offset[1]) + 2
    ).perform()
    tooltip = browser.find_element(By.ID, "tallow-tooltip")
    deadline = time.monotonic() + 10
    while not tooltip.is_displayed():
        assert time.monotonic() < deadline, "no tooltip"
        time.sleep(0.05)
    lines = tooltip.text.splitlines()
    assert lines[0] == "delta"
    assert "kind: <b>bold</b>" in lines and "community: d" in lines
    assert console_errors(browser) == []


@RENDERERS
def test_search_centres_the_node_found(browser: Any, tmp_path: Path, renderer: str) -> None:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    state = open_page(browser, write_square(tmp_path / "square.html"), renderer)
    box = browser.find_element(By.CSS_SELECTOR, "#tallow-search input")
    box.send_keys("GAMMA", Keys.ENTER)  # matched ignoring case
    middle = (
        round(state["left"] + state["width"] / 2),
        round(state["top"] + state["height"] / 2),
    )
    assert_colour(screenshot(browser), middle, colour(COMMUNITY_COLOURS[2]))
    assert browser.find_element(By.CLASS_NAME, "tallow-result").text == "match 1 of 1"
    box.clear()
    box.send_keys("omega", Keys.ENTER)
    assert "no node matches" in browser.find_element(By.CLASS_NAME, "tallow-result").text


@pytest.mark.parametrize("how", ["wheel", "key"])
def test_zoom_changes_the_view(browser: Any, tmp_path: Path, how: str) -> None:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.by import By

    state = open_page(browser, write_square(tmp_path / "square.html"), "webgl")
    canvas = browser.find_element(By.ID, "tallow-canvas")
    if how == "wheel":
        ActionChains(browser).scroll_from_origin(
            ScrollOrigin.from_element(canvas), 0, -200
        ).perform()
    else:
        canvas.click()
        canvas.send_keys("+")
    zoomed = dict(state, zoom=browser.execute_script("return tallowViewer.camera.zoom"))
    assert zoomed["zoom"] > state["zoom"] * 1.1
    pixels = screenshot(browser)
    centre = SQUARE.mean(axis=0)
    assert_colour(pixels, on_screen(state, SQUARE[3], centre), colour("#ffffff"))
    assert_colour(pixels, on_screen(zoomed, SQUARE[3], centre), colour(COMMUNITY_COLOURS[3]))


def test_two_fingers_spreading_zoom_in(browser: Any, tmp_path: Path) -> None:
    from selenium.webdriver.common.actions import interaction
    from selenium.webdriver.common.actions.action_builder import ActionBuilder

    state = open_page(browser, write_square(tmp_path / "square.html"), "webgl")
    x = round(state["left"] + state["width"] / 2)
    y = round(state["top"] + state["height"] / 2)
    builder = ActionBuilder(browser)
    fingers = [builder.add_pointer_input(interaction.POINTER_TOUCH, f"f{i}") for i in (0, 1)]
    for finger, side in zip(fingers, (-1, 1)):
        finger.create_pointer_move(x=x + 50 * side, y=y)
        finger.create_pointer_down()
    for step in range(1, 6):
        for finger, side in zip(fingers, (-1, 1)):
            finger.create_pointer_move(x=x + (50 + 20 * step) * side, y=y, duration=40)
    for finger in fingers:
        finger.create_pointer_up(0)
    builder.perform()
    zoom = browser.execute_script("return tallowViewer.camera.zoom")
    # The fingers went from 100 to 300 pixels apart.
    assert zoom / state["zoom"] == pytest.approx(3.0, rel=0.15)
    assert console_errors(browser) == []


def test_picture_drawn_in_slices_equals_the_whole(browser: Any, tmp_path: Path) -> None:
    rng = np.random.default_rng(3)
    n = 20_000
    path = tmp_path / "slices.html"
    to_html(path, rng.normal(size=(n, 2)), rng.integers(0, n, size=(2 * n, 2)))
    open_page(browser, path, "webgl")
    frames = browser.execute_script(
        "var v = tallowViewer; v.budget = 5000; v.requestDraw(false);"
        "var before = v.framesDrawn;"
        "return new Promise(function (done) { (function wait() {"
        "  if (v.progress === null && !v.pending) done(v.framesDrawn - before);"
        "  else requestAnimationFrame(wait); })(); });"
    )
    assert frames >= 4, "the budget should have taken several frames"
    sliced = screenshot(browser)
    browser.execute_script("tallowViewer.drawWhole()")
    whole = screenshot(browser)
    # Only the soft rims of the nodes of the first slice, drawn twice, differ.
    assert (np.abs(sliced - whole).max(axis=2) > 2).mean() < 0.01
    assert (whole.min(axis=2) < 200).mean() > 0.05, "the graph is missing"


@pytest.mark.parametrize(
    "positions",
    [np.zeros((0, 2)), np.array([[3.0, 4.0]]), np.full((5, 2), 7.0), np.full((3, 3), 1e12)],
    ids=["no nodes", "one node", "coincident nodes", "far coincident nodes in 3-D"],
)
def test_degenerate_layouts_open_without_errors(
    browser: Any, tmp_path: Path, positions: np.ndarray
) -> None:
    path = tmp_path / "odd.html"
    to_html(path, positions, [[0, 0]] if len(positions) else None)
    open_page(browser, path, "webgl")
    browser.execute_script("tallowViewer.search('0'); tallowViewer.hover(10, 10)")
    screenshot(browser)
    assert console_errors(browser) == []


def test_three_columns_give_a_view_that_rotates(browser: Any, tmp_path: Path) -> None:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    corners = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1]], dtype=float)
    path = tmp_path / "solid.html"
    to_html(path, corners, [[0, 1], [0, 2], [0, 3], [1, 2], [1, 3], [2, 3]], labels=NAMES)
    open_page(browser, path, "webgl")
    before = screenshot(browser)
    canvas = browser.find_element(By.ID, "tallow-canvas")
    ActionChains(browser).click_and_hold(canvas).move_by_offset(120, 40).release().perform()
    assert browser.execute_script("return tallowViewer.camera.yaw") > 1.0
    assert np.abs(screenshot(browser) - before).max() > 100, "the picture did not turn"
    assert console_errors(browser) == []
