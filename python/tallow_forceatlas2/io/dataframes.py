"""DataFrame edge tables (pandas, or any DataFrame with the Arrow or interchange protocol)."""

from __future__ import annotations

from typing import Any

import numpy as np

from tallow_forceatlas2.inputs import GraphArrays, check_weights_array, warn_missing_weight

__all__ = ["from_dataframe"]


def _as_pandas(table: Any) -> Any:
    try:
        import pandas as pd  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ModuleNotFoundError:
        raise TypeError(
            f"reading a {type(table).__name__} edge table needs pandas: pip install pandas"
        ) from None
    if isinstance(table, pd.DataFrame):
        return table
    # Other DataFrames (polars, ...) come through the Arrow stream protocol
    # when pyarrow is there, else through the DataFrame interchange protocol.
    if hasattr(table, "__arrow_c_stream__"):
        try:
            import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ModuleNotFoundError:
            pass
        else:
            return pa.table(table).to_pandas()
    if not hasattr(table, "__dataframe__"):
        raise TypeError(
            f"reading a {type(table).__name__} edge table needs pyarrow: pip install pyarrow"
        )
    return pd.api.interchange.from_dataframe(table, allow_copy=True)


def from_dataframe(table: Any, source: str, target: str, weight: str | None) -> GraphArrays:
    """Convert an edge table, one edge per row, to kernel arrays.

    Parameters
    ----------
    table : DataFrame
        A pandas DataFrame or any object with ``__dataframe__``.
    source, target : str
        The columns holding each edge's nodes (any hashable values).
    weight : str or None
        The column holding the weights, used when the table has it; a name
        other than "weight" that is not a column is warned about.

    Returns
    -------
    GraphArrays
        Nodes numbered in order of first appearance, row by row, source
        before target; their labels in ``nodes``.

    Raises
    ------
    TypeError, ValueError
        For missing columns, missing node values and bad weights.
    """
    import pandas as pd  # type: ignore[import-untyped,import-not-found,unused-ignore]

    frame = _as_pandas(table)
    columns = [str(c) for c in frame.columns]
    for role, name in (("source", source), ("target", target)):
        if name not in frame.columns:
            raise ValueError(
                f"the edge table has no {role} column {name!r}; its columns are "
                f"{', '.join(map(repr, columns[:10]))} (pass {role}='column name')"
            )
    ends = frame[[source, target]]
    if ends.isna().to_numpy().any():
        row = int(np.argmax(ends.isna().to_numpy().any(axis=1)))
        raise ValueError(f"edge table row {row} has no {source} or {target} value")
    pairs = ends.to_numpy(dtype=object).ravel()
    codes, uniques = pd.factorize(pairs, sort=False)
    edges = np.ascontiguousarray(codes.reshape(-1, 2), dtype=np.uint32)
    values = None
    if weight is not None and weight in frame.columns:
        column = frame[weight].to_numpy()
        values = check_weights_array(column, len(edges), f"column {weight!r}")
    elif weight is not None and len(edges):
        others = [c for c in columns if c not in (source, target)]
        warn_missing_weight(weight, others, what="column")
    return GraphArrays(len(uniques), edges, values, nodes=list(uniques))
