"""How the array arguments become the graph: copies, strides, rows, bounds, masses."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import pytest
from conftest import Layout, ring_graph

EDGES, INIT = ring_graph()["edges"], ring_graph()["init"]
WEIGHTS = np.linspace(0.5, 3.0, len(EDGES))
NO_EDGES = np.zeros((0, 2), np.uint32)


def f32_round_trip(values: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):  # beyond the f32 range is meant to become infinite
        return np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float64)


def unaligned(array: np.ndarray) -> np.ndarray:
    """A read-only copy of `array` that starts one byte into its buffer."""
    raw = bytes(1) + np.ascontiguousarray(array).tobytes()
    return np.frombuffer(raw, dtype=array.dtype, offset=1).reshape(array.shape)


def test_no_nodes_and_no_edges_give_an_empty_result(call_layout: Layout) -> None:
    result = call_layout(n_nodes=0, edges=NO_EDGES, init=np.zeros((0, 2)), iterations=10)
    assert result.shape == (0, 2) and result.dtype == np.float64


def test_zero_iterations_return_init_rounded_through_f32(call_layout: Layout) -> None:
    init = np.array([[0.1, -0.1], [1e300, -1e300], [np.nan, 2.5], [1e-50, 16777217.0]])
    result = call_layout(n_nodes=4, edges=NO_EDGES, init=init)
    assert result[0, 0] == 0.10000000149011612
    assert np.array_equal(result, f32_round_trip(init), equal_nan=True)
    assert result[1].tolist() == [np.inf, -np.inf]
    assert result[3].tolist() == [0.0, 16777216.0]


@pytest.mark.parametrize("n_nodes", [0, 5, 12, 20], ids=lambda n: f"n_nodes={n}")
def test_result_has_one_row_per_node_whatever_init_holds(call_layout: Layout, n_nodes: int) -> None:
    result = call_layout(n_nodes=n_nodes, edges=NO_EDGES)
    placed = min(n_nodes, len(INIT))
    assert result.shape == (n_nodes, 2)
    assert np.array_equal(result[:placed], f32_round_trip(INIT[:placed]))
    assert not result[placed:].any(), "nodes without an init row stay at the origin"


def test_result_is_a_new_writeable_c_ordered_float64_array(call_layout: Layout) -> None:
    first, second = call_layout(), call_layout()
    assert not np.shares_memory(first, second)
    assert first.dtype == np.float64 and first.flags.c_contiguous and first.flags.writeable


def fatal_index(length: int, index: int) -> str:
    message = f"index out of bounds: the len is {length} but the index is {index}"
    return f"^{re.escape(message)}$"


# id: (arguments, len, index) of the failed bounds test
# fmt: off
FATAL_INDEX_ERRORS = {
    "edges with one column": ({"edges": np.zeros((3, 1), np.uint32)}, 1, 1),
    "edges with no column": ({"edges": np.zeros((3, 0), np.uint32)}, 0, 0),
    "init with one column": ({"init": np.zeros((3, 1))}, 1, 1),
    "target beyond the last node": ({"edges": np.array([[0, 12]], np.uint32)}, 120, 126),
    "source checked before target": ({"edges": np.array([[13, 12]], np.uint32)}, 120, 136),
    "any edge without nodes": (
        {"edges": np.array([[0, 1]], np.uint32), "n_nodes": 0, "init": np.zeros((0, 2))}, 0, 6
    ),
    "fewer weights than edges": ({"weights": WEIGHTS[:5]}, 5, 5),
    "weight checked before endpoints": (
        {"edges": np.array([[0, 1], [0, 99]], np.uint32), "weights": np.ones(1)}, 1, 1
    ),
}
# fmt: on


@pytest.mark.parametrize(
    ("overrides", "length", "index"), FATAL_INDEX_ERRORS.values(), ids=FATAL_INDEX_ERRORS
)
def test_bad_shapes_and_indices_are_fatal_index_errors(
    call_layout: Layout,
    internal_error: type[BaseException],
    overrides: dict[str, Any],
    length: int,
    index: int,
) -> None:
    with pytest.raises(internal_error, match=fatal_index(length, index)):
        call_layout(**overrides)
    assert call_layout().shape == (12, 2), "the module stays usable"


def strided(base: np.ndarray, stride: int, offset: int = 0) -> np.ndarray:
    """`base` placed at every `stride`-th element of a larger buffer, as a view."""
    buffer = np.zeros(base.size * stride + offset, base.dtype)
    view = buffer[offset::stride][: base.size].reshape(base.shape)
    view[...] = base
    return view


def odd_strides(base: np.ndarray) -> np.ndarray:
    """`base` as a view whose strides are no multiple of its element size."""
    step = base.itemsize + 1
    strides = (base.shape[-1] * step, step)[-base.ndim :]
    view = np.ndarray(base.shape, base.dtype, buffer=bytearray(base.size * step), strides=strides)
    view[...] = base
    return view


def read_only(array: np.ndarray) -> np.ndarray:
    copy = array.copy()
    copy.flags.writeable = False
    return copy


# id: (arguments read at odd strides, the same arguments given contiguously)
# fmt: off
SAME_INPUT = {
    "init column-major": ({"init": np.asfortranarray(INIT)}, {}),
    "edges column-major": ({"edges": np.asfortranarray(EDGES)}, {}),
    "init rows reversed": ({"init": INIT[::-1].copy()[::-1]}, {}),
    "edges columns reversed": ({"edges": EDGES[:, ::-1].copy()[:, ::-1]}, {}),
    "edges every third element": ({"edges": strided(EDGES, 3, offset=1)}, {}),
    "init every other, backwards": ({"init": strided(INIT[::-1], 2)[::-1]}, {}),
    "init read-only": ({"init": read_only(INIT)}, {}),
    "init unaligned": ({"init": unaligned(INIT)}, {}),
    "init odd strides": ({"init": odd_strides(INIT)}, {}),
    "edges odd strides": ({"edges": odd_strides(EDGES)}, {}),
    "weights odd strides": ({"weights": odd_strides(WEIGHTS)}, {"weights": WEIGHTS}),
    "edges unaligned": ({"edges": unaligned(EDGES)}, {}),
    "weights every third": ({"weights": strided(WEIGHTS, 3)}, {"weights": WEIGHTS}),
    "weights reversed": ({"weights": WEIGHTS[::-1].copy()[::-1]}, {"weights": WEIGHTS}),
    "weights unaligned": ({"weights": unaligned(WEIGHTS)}, {"weights": WEIGHTS}),
    "weights zero stride": (
        {"weights": np.broadcast_to(2.5, len(EDGES))}, {"weights": np.full(len(EDGES), 2.5)}
    ),
    "init zero column stride": (
        {"init": np.broadcast_to(INIT[:, :1], INIT.shape)}, {"init": INIT[:, [0, 0]]}
    ),
    # Parts of the input that are never read:
    "edges without rows, one column": ({"edges": np.zeros((0, 1), np.uint32)}, {"edges": NO_EDGES}),
    "third edge column": ({"edges": np.pad(EDGES, ((0, 0), (0, 1)), constant_values=99)}, {}),
    "third init column": ({"init": np.pad(INIT, ((0, 0), (0, 1)), constant_values=np.nan)}, {}),
    "extra init rows": ({"init": np.vstack([INIT, [[5.0, 5.0]]])}, {}),
    "extra weights": ({"weights": np.append(WEIGHTS, [100.0, -1.0])}, {"weights": WEIGHTS}),
    "unit weights": ({"weights": np.ones(len(EDGES))}, {"weights": None}),
}
# fmt: on


@pytest.mark.parametrize(("overrides", "base"), SAME_INPUT.values(), ids=SAME_INPUT)
def test_arrays_are_read_at_their_own_strides_and_left_unchanged(
    call_layout: Layout, overrides: dict[str, Any], base: dict[str, Any]
) -> None:
    before = {name: np.array(value, copy=True) for name, value in overrides.items()}
    expected = call_layout(iterations=4, **base)
    assert np.array_equal(call_layout(iterations=4, **overrides), expected, equal_nan=True)
    for name, value in overrides.items():
        assert np.array_equal(value, before[name], equal_nan=True)


@pytest.mark.parametrize(
    "weights",
    [np.full(len(EDGES), 2.5), WEIGHTS, np.zeros(len(EDGES)), -WEIGHTS],
    ids=["all 2.5", "increasing", "all zero", "negative"],
)
def test_weights_reach_the_layout(call_layout: Layout, weights: np.ndarray) -> None:
    weighted = call_layout(iterations=5, weights=weights)
    assert not np.array_equal(weighted, call_layout(iterations=5), equal_nan=True)


def test_arguments_are_copied_before_the_run(call_layout: Layout) -> None:
    edges, init = EDGES.copy(), INIT.copy()
    expected = call_layout(iterations=3)

    def scribble(i: int, n: int) -> None:
        edges[:] = 0
        init[:] = 1e9

    result = call_layout(iterations=3, edges=edges, init=init, progress=scribble)
    assert np.array_equal(result, expected)


# Node 3,355,445 is the first whose offset (index * 10) an f32 cannot hold exactly.
FIRST_INEXACT = 3_355_445


def far_graph() -> dict[str, Any]:
    """Nodes up to FIRST_INEXACT + 1 at distinct points, the last two wide apart."""
    n_nodes = FIRST_INEXACT + 2
    index = np.arange(n_nodes)
    init = np.column_stack([index * 1e-3 - 1677.0, (index % 977) * 1.0])
    init[FIRST_INEXACT:] = [[-500.0, 0.25], [500.0, -0.25]]
    return {"n_nodes": n_nodes, "init": init}


def test_node_indices_beyond_exact_f32_offsets_keep_their_own_rows(
    call_layout: Layout, internal_error: type[BaseException]
) -> None:
    graph = far_graph()
    far = FIRST_INEXACT
    edges = np.array([[far - 1, far], [far + 1, far]], np.uint32)
    assert np.array_equal(call_layout(edges=edges, **graph), f32_round_trip(graph["init"]))

    n_values = graph["n_nodes"] * 10
    with pytest.raises(internal_error, match=fatal_index(n_values, n_values + 6)):
        call_layout(edges=np.array([[far + 1, far + 2]], np.uint32), **graph)


def test_an_edge_between_far_nodes_pulls_exactly_those_two(call_layout: Layout) -> None:
    # A weight of 0 leaves every mass (and so repulsion, gravity and the region
    # tree) unchanged, while an influence of 0 still gives the edge the pull of
    # weight 1: the edge's own attraction is the only difference between the runs.
    settings = {"barnesHutOptimize": True, "barnesHutTheta": 1e6, "edgeWeightInfluence": 0.0}
    run = ring_graph() | far_graph() | {"iterations": 1, "threads": 2, "settings": settings}
    far = FIRST_INEXACT
    far_edge = np.array([[far, far + 1]], np.uint32)
    apart = call_layout(**(run | {"edges": NO_EDGES, "weights": np.zeros(0)}))
    pulled = call_layout(**(run | {"edges": far_edge, "weights": np.zeros(1)}))
    changed = np.flatnonzero((apart != pulled).any(axis=1))
    assert changed.tolist() == [far, far + 1]
    assert pulled[far, 0] > apart[far, 0] and pulled[far + 1, 0] < apart[far + 1, 0]
