"""How the array arguments become the graph: copies, strides, rows, bounds, masses."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

from conftest import ring_graph

EDGES = ring_graph()["edges"]
INIT = ring_graph()["init"]
WEIGHTS = np.linspace(0.5, 3.0, len(EDGES))


def f32_round_trip(values: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):  # beyond the f32 range is meant to become infinite
        return (
            np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float64)
        )


def unaligned(array: np.ndarray) -> np.ndarray:
    """A read-only copy of `array` that starts one byte into its buffer."""
    raw = bytes(1) + np.ascontiguousarray(array).tobytes()
    return np.frombuffer(raw, dtype=array.dtype, offset=1).reshape(array.shape)


def test_no_nodes_and_no_edges_give_an_empty_result(
    call_layout: Callable[..., np.ndarray],
) -> None:
    result = call_layout(
        n_nodes=0,
        edges=np.zeros((0, 2), np.uint32),
        init=np.zeros((0, 2)),
        iterations=10,
    )
    assert result.shape == (0, 2) and result.dtype == np.float64


def test_zero_iterations_return_init_rounded_through_f32(
    call_layout: Callable[..., np.ndarray],
) -> None:
    init = np.array([[0.1, -0.1], [1e300, -1e300], [np.nan, 2.5], [1e-50, 16777217.0]])
    result = call_layout(n_nodes=4, edges=np.zeros((0, 2), np.uint32), init=init)
    assert result[0, 0] == 0.10000000149011612
    assert np.array_equal(result, f32_round_trip(init), equal_nan=True)
    assert result[1].tolist() == [np.inf, -np.inf] and result[3].tolist() == [
        0.0,
        16777216.0,
    ]


@pytest.mark.parametrize("n_nodes", [0, 5, 12, 20], ids=lambda n: f"n_nodes={n}")
def test_result_has_one_row_per_node_whatever_init_holds(
    call_layout: Callable[..., np.ndarray], n_nodes: int
) -> None:
    result = call_layout(n_nodes=n_nodes, edges=np.zeros((0, 2), np.uint32))
    placed = min(n_nodes, len(INIT))
    assert result.shape == (n_nodes, 2)
    assert np.array_equal(result[:placed], f32_round_trip(INIT[:placed]))
    assert not result[placed:].any(), "nodes without an init row stay at the origin"


def test_result_is_a_new_writeable_c_ordered_float64_array(
    call_layout: Callable[..., np.ndarray],
) -> None:
    first, second = call_layout(), call_layout()
    assert first is not second and not np.shares_memory(first, second)
    assert (
        first.dtype == np.float64 and first.flags.c_contiguous and first.flags.writeable
    )


def fatal_index(length: int, index: int) -> str:
    message = f"index out of bounds: the len is {length} but the index is {index}"
    return f"^{re.escape(message)}$"


@pytest.mark.parametrize(
    ("overrides", "length", "index"),
    [
        pytest.param(
            {"edges": np.zeros((3, 1), np.uint32)}, 1, 1, id="edges with one column"
        ),
        pytest.param(
            {"edges": np.zeros((3, 0), np.uint32)}, 0, 0, id="edges with no column"
        ),
        pytest.param({"init": np.zeros((3, 1))}, 1, 1, id="init with one column"),
        pytest.param(
            {"edges": np.array([[0, 12]], np.uint32)},
            120,
            126,
            id="target beyond the last node",
        ),
        pytest.param(
            {"edges": np.array([[13, 12]], np.uint32)},
            120,
            136,
            id="source is checked before target",
        ),
        pytest.param(
            {
                "edges": np.array([[0, 1]], np.uint32),
                "n_nodes": 0,
                "init": np.zeros((0, 2)),
            },
            0,
            6,
            id="any edge without nodes",
        ),
        pytest.param({"weights": WEIGHTS[:5]}, 5, 5, id="fewer weights than edges"),
        pytest.param(
            {"edges": np.array([[0, 1], [0, 99]], np.uint32), "weights": np.ones(1)},
            1,
            1,
            id="weight is checked before the endpoints",
        ),
    ],
)
def test_bad_shapes_and_indices_are_fatal_index_errors(
    call_layout: Callable[..., np.ndarray],
    internal_error: type[BaseException],
    overrides: dict[str, Any],
    length: int,
    index: int,
) -> None:
    with pytest.raises(internal_error, match=fatal_index(length, index)):
        call_layout(**overrides)
    assert call_layout().shape == (12, 2), "the module stays usable"


@pytest.mark.parametrize(
    ("overrides", "same_as"),
    [
        pytest.param(
            {"edges": np.zeros((0, 1), np.uint32)},
            {"edges": np.zeros((0, 2), np.uint32)},
            id="edges without rows ignore their width",
        ),
        pytest.param(
            {
                "edges": np.column_stack([EDGES, np.full(len(EDGES), 999)]).astype(
                    np.uint32
                )
            },
            {"edges": EDGES},
            id="third edge column ignored",
        ),
        pytest.param(
            {"init": np.column_stack([INIT, np.full(len(INIT), np.nan)])},
            {"init": INIT},
            id="third init column ignored",
        ),
        pytest.param(
            {"init": np.vstack([INIT, [[5.0, 5.0]]])},
            {"init": INIT},
            id="extra init rows ignored",
        ),
        pytest.param(
            {"weights": np.append(WEIGHTS, [100.0, -1.0])},
            {"weights": WEIGHTS},
            id="extra weights ignored",
        ),
        pytest.param(
            {"weights": np.ones(len(EDGES))},
            {"weights": None},
            id="unit weights equal no weights",
        ),
    ],
)
def test_ignored_parts_of_the_input_change_nothing(
    call_layout: Callable[..., np.ndarray],
    overrides: dict[str, Any],
    same_as: dict[str, Any],
) -> None:
    assert np.array_equal(
        call_layout(iterations=5, **overrides), call_layout(iterations=5, **same_as)
    )


@pytest.mark.parametrize(
    "weights",
    [np.full(len(EDGES), 2.5), WEIGHTS, np.zeros(len(EDGES)), -WEIGHTS],
    ids=["constant 2.5", "increasing", "zero", "negative"],
)
def test_weights_reach_the_layout(
    call_layout: Callable[..., np.ndarray], weights: np.ndarray
) -> None:
    weighted = call_layout(iterations=5, weights=weights)
    assert not np.array_equal(weighted, call_layout(iterations=5), equal_nan=True)


def strided_views() -> list[Any]:
    wide_edges = np.zeros((len(EDGES), 5), np.uint32)
    wide_edges[:, 3], wide_edges[:, 1] = EDGES[:, 0], EDGES[:, 1]
    every_other_init = np.zeros((2 * len(INIT), 3))
    every_other_init[::2, 2], every_other_init[::2, 0] = INIT[:, 0], INIT[:, 1]
    spaced_weights = np.zeros(3 * len(WEIGHTS))
    spaced_weights[::3] = WEIGHTS
    read_only_init = INIT.copy()
    read_only_init.flags.writeable = False
    return [
        pytest.param(
            {"init": np.ascontiguousarray(INIT.T).T},
            {},
            id="init transposed (column-major)",
        ),
        pytest.param(
            {"edges": np.ascontiguousarray(EDGES.T).T},
            {},
            id="edges transposed (column-major)",
        ),
        pytest.param(
            {"init": np.ascontiguousarray(INIT[::-1])[::-1]},
            {},
            id="init rows reversed",
        ),
        pytest.param(
            {"edges": np.ascontiguousarray(EDGES[:, ::-1])[:, ::-1]},
            {},
            id="edges columns reversed",
        ),
        pytest.param(
            {"edges": wide_edges[:, 3:0:-2]},
            {},
            id="edges non-contiguous negative column stride",
        ),
        pytest.param(
            {"init": every_other_init[::2, 2::-2]},
            {},
            id="init every other row, columns backwards",
        ),
        pytest.param({"init": read_only_init}, {}, id="init read-only"),
        pytest.param({"init": unaligned(INIT)}, {}, id="init unaligned byte offset"),
        pytest.param({"edges": unaligned(EDGES)}, {}, id="edges unaligned byte offset"),
        pytest.param(
            {"weights": spaced_weights[::3]},
            {"weights": WEIGHTS},
            id="weights every third",
        ),
        pytest.param(
            {"weights": np.ascontiguousarray(WEIGHTS[::-1])[::-1]},
            {"weights": WEIGHTS},
            id="weights reversed",
        ),
        pytest.param(
            {"weights": unaligned(WEIGHTS)},
            {"weights": WEIGHTS},
            id="weights unaligned",
        ),
        pytest.param(
            {"weights": np.broadcast_to(2.5, len(EDGES))},
            {"weights": np.full(len(EDGES), 2.5)},
            id="weights zero stride",
        ),
        pytest.param(
            {"init": np.broadcast_to(INIT[:, :1], INIT.shape)},
            {"init": np.repeat(INIT[:, :1], 2, axis=1)},
            id="init zero column stride",
        ),
    ]


@pytest.mark.parametrize(("overrides", "base"), strided_views())
def test_arrays_are_read_at_their_own_strides_and_left_unchanged(
    call_layout: Callable[..., np.ndarray],
    overrides: dict[str, Any],
    base: dict[str, Any],
) -> None:
    before = {name: np.array(value, copy=True) for name, value in overrides.items()}
    expected = call_layout(iterations=4, **base)
    assert np.array_equal(
        call_layout(iterations=4, **overrides), expected, equal_nan=True
    )
    for name, value in overrides.items():
        assert np.array_equal(value, before[name], equal_nan=True)


def test_edge_list_is_copied_before_the_run(
    call_layout: Callable[..., np.ndarray],
) -> None:
    edges, init = EDGES.copy(), INIT.copy()
    expected = call_layout(iterations=3, edges=EDGES, init=INIT)

    def scribble(i: int, n: int) -> None:
        edges[:] = 0
        init[:] = 1e9

    assert np.array_equal(
        call_layout(iterations=3, edges=edges, init=init, progress=scribble), expected
    )


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
    call_layout: Callable[..., np.ndarray], internal_error: type[BaseException]
) -> None:
    graph = far_graph()
    edges = np.array(
        [[FIRST_INEXACT - 1, FIRST_INEXACT], [FIRST_INEXACT + 1, FIRST_INEXACT]],
        np.uint32,
    )
    assert np.array_equal(
        call_layout(edges=edges, **graph), f32_round_trip(graph["init"])
    )

    beyond = np.array([[FIRST_INEXACT + 1, FIRST_INEXACT + 2]], np.uint32)
    n_values = graph["n_nodes"] * 10
    with pytest.raises(internal_error, match=fatal_index(n_values, n_values + 6)):
        call_layout(edges=beyond, **graph)


def test_an_edge_between_far_nodes_pulls_exactly_those_two(
    call_layout: Callable[..., np.ndarray],
) -> None:
    # A weight of 0 leaves every mass (and so repulsion, gravity and the region
    # tree) unchanged, while an influence of 0 still gives the edge the pull of
    # weight 1: the edge's own attraction is the only difference between the runs.
    graph = far_graph()
    settings = {
        "barnesHutOptimize": True,
        "barnesHutTheta": 1e6,
        "edgeWeightInfluence": 0.0,
    }
    far_edge = np.array([[FIRST_INEXACT, FIRST_INEXACT + 1]], np.uint32)
    apart = call_layout(
        edges=far_edge[:0],
        weights=np.zeros(0),
        iterations=1,
        threads=2,
        settings=settings,
        **graph,
    )
    pulled = call_layout(
        edges=far_edge,
        weights=np.zeros(1),
        iterations=1,
        threads=2,
        settings=settings,
        **graph,
    )
    changed = np.flatnonzero((apart != pulled).any(axis=1))
    assert changed.tolist() == [FIRST_INEXACT, FIRST_INEXACT + 1]
    assert pulled[FIRST_INEXACT, 0] > apart[FIRST_INEXACT, 0]
    assert pulled[FIRST_INEXACT + 1, 0] < apart[FIRST_INEXACT + 1, 0]
