"""Benchmark of the HTML view: file size, time to open, frame times while panning.

The graph is big_picture_bench's planted graph (n nodes, 10 n edges, 20
communities placed as Gaussian blobs). For each size the page is written by
``to_html``, opened in headless Chromium (Debian's ``chromium`` and
``chromedriver``, driven by Selenium) and panned for a few seconds, once as
the viewer does it (drawing an even sample of the graph while frames are
slow) and once drawing the whole graph every frame. Frame times are the
intervals between animation frames; "sync" frames also wait for the drawing
to finish (a one-pixel read), an upper bound. Headless Chromium renders
WebGL in software (SwiftShader), much slower than a real GPU.

With ``--bokeh`` the same graph is written as a Bokeh standalone page (nodes
as a WebGL scatter, edges as one WebGL line broken by NaNs) for comparison.

usage: python benchmarks/html_view_bench.py [--nodes 100000 1000000] [--bokeh]
Needs selenium (pip), chromium and chromium-driver (apt); bokeh for --bokeh.
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
from big_picture_bench import planted_graph
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

FRAMES = 40
# Each measurement stops after this long (the command times out after 120 s).
SECONDS = 40

PAN = """
const SECONDS = SECONDS_MS;
const [frames, whole, sync] = arguments;
const v = window.tallowViewer, gl = v.renderer.gl, pixel = new Uint8Array(4);
return new Promise((resolve) => {
  const times = [];
  let last = 0, first = performance.now();
  function step(now) {
    if (last) times.push(now - last);
    last = now;
    v.camera.shift(3, 1);
    if (whole) v.drawWhole(); else v.requestDraw(true);
    if (sync && gl) gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
    if (times.length < frames && now - first < SECONDS) requestAnimationFrame(step);
    else resolve({times: times, detail: v.budget / (v.graph.n + v.edgeCount), kind: v.renderer.kind});
  }
  requestAnimationFrame(step);
});
"""

BOKEH_PAN = """
const SECONDS = SECONDS_MS;
const frames = arguments[0];
const doc = Bokeh.documents[0], plot = doc.roots()[0];
return new Promise((resolve) => {
  const times = [];
  let last = 0, first = performance.now();
  function step(now) {
    if (last) times.push(now - last);
    last = now;
    plot.x_range.start += 0.5; plot.x_range.end += 0.5;
    if (times.length < frames && now - first < SECONDS) requestAnimationFrame(step);
    else resolve({times: times});
  }
  requestAnimationFrame(step);
});
"""
PAN, BOKEH_PAN = (text.replace("SECONDS_MS", str(SECONDS * 1000)) for text in (PAN, BOKEH_PAN))


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--window-size=1280,800",
        "--force-device-scale-factor=1",
        "--enable-unsafe-swiftshader",
        "--use-angle=swiftshader",
    ):
        options.add_argument(flag)
    # The page is timed from the request to the viewer's first frame, not
    # to the load event.
    options.page_load_strategy = "none"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(600)
    driver.command_executor._client_config.timeout = 900  # a slow frame of a big page
    return driver


def write_bokeh(path: Path, edges: np.ndarray, positions: np.ndarray, group: np.ndarray) -> None:
    from bokeh.embed import file_html
    from bokeh.plotting import figure
    from bokeh.resources import INLINE

    plot = figure(output_backend="webgl", width=1200, height=760, match_aspect=True)
    xs = np.full(3 * len(edges), np.nan, dtype=np.float32)
    ys = xs.copy()
    xs[0::3], xs[1::3] = positions[edges[:, 0], 0], positions[edges[:, 1], 0]
    ys[0::3], ys[1::3] = positions[edges[:, 0], 1], positions[edges[:, 1], 1]
    plot.line(xs, ys, line_alpha=0.05, line_width=1)
    palette = np.array(["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"])
    plot.scatter(
        positions[:, 0].astype(np.float32),
        positions[:, 1].astype(np.float32),
        size=3,
        color=palette[group % len(palette)].tolist(),
    )
    path.write_text(file_html(plot, INLINE, "bokeh"), encoding="utf-8")


def measure(driver: webdriver.Chrome, page: Path, bokeh: bool) -> dict[str, Any]:
    started = time.perf_counter()
    driver.get(page.as_uri())
    ready = "window.Bokeh && Bokeh.documents.length" if bokeh else "window.tallowViewer"
    while not driver.execute_script(f"return !!({ready})"):
        if time.perf_counter() - started > 600:
            raise TimeoutError(f"{page} did not open in 600 s")
        time.sleep(0.05)
    # A first frame drawn: the next animation frame after the viewer exists.
    driver.execute_script("return new Promise((r) => requestAnimationFrame(() => r(0)))")
    opened = time.perf_counter() - started
    rows: dict[str, Any] = {"open": opened}
    if bokeh:
        rows["bokeh"] = driver.execute_script(BOKEH_PAN, FRAMES)
    else:
        rows["viewer"] = driver.execute_script(PAN, FRAMES, False, False)
        rows["whole"] = driver.execute_script(PAN, FRAMES, True, False)
        rows["whole sync"] = driver.execute_script(PAN, FRAMES, True, True)
    return rows


def row(
    label: str,
    nodes: int,
    edges: int,
    megabytes: float,
    write: float,
    opened: float,
    result: dict[str, Any],
) -> str:
    times = np.array(result["times"])
    times = times[2:] if len(times) > 6 else times  # the first frames warm up
    detail = result.get("detail")
    shown = f"{detail:.3f}" if detail is not None and label == "viewer" else "1"
    return (
        f"{label:<11} {nodes:>10,} {edges:>11,} {megabytes:>8.1f} {write:>7.1f} {opened:>7.1f} "
        f"{np.median(times):>9.1f} {np.percentile(times, 90):>8.1f} {1000 / np.median(times):>6.1f} "
        f"{shown:>7}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--bokeh", action="store_true", help="also measure a Bokeh page")
    args = parser.parse_args()
    from tallow_forceatlas2.draw.html import to_html

    print(
        f"{'page':<11} {'nodes':>10} {'edges':>11} {'MB':>8} {'write s':>7} {'open s':>7} "
        f"{'median ms':>9} {'p90 ms':>8} {'fps':>6} {'drawn':>7}"
    )
    with tempfile.TemporaryDirectory() as folder:
        for n in args.nodes:
            edges, positions, group = planted_graph(n)
            labels = [f"node{i}" for i in range(n)]
            pages = [("viewer", Path(folder) / f"view{n}.html")]
            if args.bokeh:
                pages.append(("bokeh", Path(folder) / f"bokeh{n}.html"))
            for kind, page in pages:
                started = time.perf_counter()
                if kind == "bokeh":
                    write_bokeh(page, edges, positions, group)
                else:
                    to_html(page, positions, edges, labels=labels, communities=group.tolist())
                write = time.perf_counter() - started
                megabytes = page.stat().st_size / 1e6
                driver = browser()
                try:
                    got = measure(driver, page, kind == "bokeh")
                finally:
                    driver.quit()
                for label, result in got.items():
                    if label != "open":
                        print(
                            row(label, n, len(edges), megabytes, write, got["open"], result),
                            flush=True,
                        )
                page.unlink()


if __name__ == "__main__":
    main()
