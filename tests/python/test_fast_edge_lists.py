"""The pyarrow fast path reads edge lists exactly as the plain reader, or steps aside."""

from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import pytest
from tallow_forceatlas2.io import fast_csv
from tallow_forceatlas2.io.readers import EdgeList, InputError, read_edge_list

pytest.importorskip("pyarrow")

FILES = {
    "plain.csv": "a,b\nb,c\nc,a\n",
    "header.csv": '# made by hand\nsource,target,weight\nx,y,2\n"y, jr.",x,0.5\ny,z,1e3\n',
    "guessed.csv": "Actor,Movie\n1,2\n2,3\n",
    "reused.csv": "ann,bob\nbob,cy\n",
    "tabs.tsv": "1\t2\t3\n2\t3\t4\n",
    "comment_inside.csv": "a,b\n#c,d\n",
    "spaces.csv": "a, b\nb,c\n",
    "mixed.csv": "a,b,1\nb,c\n",
    "bom.csv": "\ufeffa,b\nb,c\n",
    "formfeed.csv": "a,b\x0cc,d\n",
}
BAD = {
    "negative.csv": ("a,b,1\nb,c,-1\n", "weight '-1' is not a finite number >= 0"),
    "short.csv": ("a,b\nc\n", "expected 'source,target[,weight]', got 1 field(s)"),
}


def read_both(path: Path, monkeypatch: pytest.MonkeyPatch, **options: object) -> list[EdgeList]:
    results = []
    for threshold in (1 << 62, 0):  # the plain reader, then the fast path wherever it can
        monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", threshold)
        results.append(read_edge_list(path, **options))  # type: ignore[arg-type]
    return results


@pytest.mark.parametrize("name", sorted(FILES))
@pytest.mark.parametrize("weighted", [True, False])
def test_fast_path_reads_what_the_plain_reader_reads(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str, weighted: bool
) -> None:
    path = tmp_path / name
    path.write_text(FILES[name], encoding="utf-8")
    plain, fast = read_both(path, monkeypatch, weighted=weighted)
    assert fast.nodes == plain.nodes
    assert np.array_equal(fast.edges, plain.edges)
    assert (fast.weights is None) == (plain.weights is None)
    if plain.weights is not None:
        assert np.array_equal(fast.weights, plain.weights)
    assert fast.guessed_header == plain.guessed_header


def test_fast_path_is_taken_for_a_big_clean_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    if not fast_csv.block_reader_supported(pyarrow):
        pytest.skip("the block reader needs pyarrow 26 and NumPy 2")
    path = tmp_path / "big.csv"
    path.write_text("".join(f"n{i},n{i + 1},{i % 7}\n" for i in range(2000)), encoding="utf-8")
    monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", 0)
    assert fast_csv.read_edges_fast(path, ",", False, True, 3) is not None


@pytest.mark.parametrize("name", sorted(BAD))
def test_bad_files_are_reported_by_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str
) -> None:
    path = tmp_path / name
    path.write_text(BAD[name][0], encoding="utf-8")
    monkeypatch.setattr(fast_csv, "FAST_FROM_BYTES", 0)
    with pytest.raises(InputError, match=re.escape(f":2: {BAD[name][1]}")):
        read_edge_list(path)
