"""Pictures: labels on small graphs, a legend for the colours, a frame that outliers do not set."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from tallow_forceatlas2.cli import main
from tallow_forceatlas2.draw import connected_components, pack_components, robust_frame

pytest.importorskip("matplotlib")
FAST = ["--iterations", "20", "--no-progress", "--size", "400x400", "--dpi", "50"]


def svg_texts(path: Path) -> str:
    # matplotlib's SVG backend writes every drawn text as a comment beside its glyphs.
    return path.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    ("flags", "labelled"), [([], True), (["--no-labels"], False), (["--labels"], True)]
)
def test_small_graphs_get_labels_and_a_degree_legend(
    tmp_path: Path, flags: list[str], labelled: bool
) -> None:
    graph, out = tmp_path / "g.csv", tmp_path / "p.svg"
    graph.write_text("alice,bob\nbob,carol\ncarol,alice\ncarol,dave\n", encoding="utf-8")
    assert main([str(graph), "-o", str(out), *FAST, *flags]) == 0
    text = svg_texts(out)
    assert ("<!-- dave -->" in text) == labelled
    assert "<!-- degree -->" in text


def test_large_graphs_have_no_labels_by_default(tmp_path: Path) -> None:
    out = tmp_path / "p.svg"
    assert main(["--demo", "-o", str(out), *FAST]) == 0
    text = svg_texts(out)
    assert "<!-- 3129 -->" not in text
    assert "<!-- community (nodes) -->" in text and "<!-- c01 (420) -->" in text


def test_frame_pulls_in_a_far_node_only() -> None:
    rng = np.random.default_rng(0)
    disc = rng.normal(size=(2000, 2))
    far = np.vstack([disc, [[60.0, 0.0]]])
    frame = robust_frame(far)
    assert frame.outliers.tolist() == [False] * 2000 + [True]
    assert np.array_equal(frame.positions[:2000], disc)
    assert 2.0 < frame.positions[2000, 0] < 10.0 and abs(frame.positions[2000, 1]) < 0.5
    path = np.stack([np.linspace(0, 100, 500), np.zeros(500)], axis=1)
    assert not robust_frame(path).outliers.any()  # a long path is not an outlier
    assert not robust_frame(disc[:10] * 1000).outliers.any()  # too few nodes to judge


def test_pack_components_moves_components_whole_and_close() -> None:
    rng = np.random.default_rng(1)
    main_part = rng.normal(size=(300, 2))
    edges = np.array([[i, i + 1] for i in range(299)] + [[300, 301], [302, 303]])
    far = np.array([[500.0, 500.0], [501.0, 500.0], [-800.0, 3.0], [-800.0, 4.0], [900.0, -900.0]])
    positions = np.vstack([main_part, far])  # node 304 is isolated
    packed = pack_components(edges, positions)
    labels = connected_components(len(positions), edges)
    assert labels.tolist() == [0] * 300 + [1, 1, 2, 2, 3]
    assert np.array_equal(packed[:300], positions[:300])  # the largest stays
    for label in (1, 2):
        members = labels == label
        moved = packed[members] - positions[members]
        assert np.allclose(moved, moved[0])  # translated as a whole
    reach = np.abs(main_part).max() * 2
    assert np.abs(packed).max() < reach  # everything close to the main component
    assert not robust_frame(packed).outliers.any()


def test_pack_components_option(tmp_path: Path) -> None:
    graph, out = tmp_path / "g.csv", tmp_path / "p.npz"
    lines = [f"{i},{i + 1}" for i in range(60)] + ["x,y"]
    graph.write_text("\n".join(lines) + "\n", encoding="utf-8")
    assert main([str(graph), "-o", str(out), "--pack-components", *FAST]) == 0
    with np.load(out) as saved:
        positions = saved["positions"]
    assert not robust_frame(positions).outliers.any()


def test_big_graphs_are_drawn_with_datashader(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    pytest.importorskip("datashader")
    from tallow_forceatlas2.draw import big

    monkeypatch.setattr(big, "BIG_PICTURE_NODES", 100)
    out = tmp_path / "big.png"
    assert main(["--demo", "-o", str(out), "--iterations", "5", "--size", "300x200"]) == 0
    from PIL import Image

    with Image.open(out) as image:
        assert image.size == (300, 200)
        # Not blank: edges and coloured nodes left their marks.
        colours = image.convert("RGB").getcolors(maxcolors=1 << 20)
    assert colours is not None and len(colours) > 20
