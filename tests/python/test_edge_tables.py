"""DataFrame edge tables as layout() input, as from_pandas_edgelist users write them."""

from __future__ import annotations

import numpy as np
import pytest
from tallow_forceatlas2 import layout

pd = pytest.importorskip("pandas")

ROWS = {"a": ["x", "y", "z", "x"], "b": ["y", "z", "w", "w"], "w": [1.0, 2.0, 0.5, 3.0]}
# Nodes in order of first appearance, row by row: x y z w.
EDGES = np.array([[0, 1], [1, 2], [2, 3], [0, 3]])


def test_pandas_edge_table_matches_the_edge_array() -> None:
    table = pd.DataFrame(ROWS)
    got = layout(table, source="a", target="b", weight="w", iterations=30)
    assert np.array_equal(got, layout(EDGES, weights=ROWS["w"], iterations=30))


def test_default_columns_and_unweighted() -> None:
    table = pd.DataFrame({"source": ROWS["a"], "target": ROWS["b"]})
    assert np.array_equal(layout(table, iterations=10), layout(EDGES, iterations=10))


def test_interchange_protocol_frame() -> None:
    pl = pytest.importorskip("polars")
    table = pl.DataFrame(ROWS)
    got = layout(table, source="a", target="b", weight="w", iterations=10)
    assert np.array_equal(got, layout(EDGES, weights=ROWS["w"], iterations=10))


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"source": "src", "target": "b"}, ValueError, "no source column 'src'.*'a', 'b', 'w'"),
        ({"source": "a", "target": "b", "weight": "a"}, TypeError, "column 'a' must be real"),
    ],
)
def test_table_mistakes(kwargs: dict[str, str], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        layout(pd.DataFrame(ROWS), **kwargs)


def test_misspelt_weight_column_warns() -> None:
    with pytest.warns(UserWarning, match="no 'wt' column.*its columns: 'w'"):
        layout(pd.DataFrame(ROWS), source="a", target="b", weight="wt", iterations=1)


def test_source_target_only_for_tables() -> None:
    with pytest.raises(
        TypeError,
        match="source= and target= name the columns of a DataFrame edge table, not of an edge array",
    ):
        layout(EDGES, source="a")
