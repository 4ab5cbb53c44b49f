"""Binding and converting the eight arguments of layout_raw."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_raw

from conftest import PARAMETERS, ring_graph

GRAPH = ring_graph()
POSITIONAL = [GRAPH[name] for name in PARAMETERS]


def keywords(*names: str) -> dict[str, Any]:
    return {name: GRAPH[name] for name in names}


class Index:
    """An integer-like object that only offers __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class RaisingIndex:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __index__(self) -> int:
        raise self.error


BINDING_ERRORS = [
    (
        "nine positional",
        [*POSITIONAL, None],
        {},
        "takes 8 positional arguments but 9 were given",
    ),
    (
        "twelve positional",
        [*POSITIONAL, 1, 2, 3, 4],
        {},
        "takes 8 positional arguments but 12 were given",
    ),
    (
        "too many positional before unknown keyword",
        [*POSITIONAL, None],
        {"colour": 1},
        "takes 8 positional arguments but 9 were given",
    ),
    (
        "unexpected keyword",
        POSITIONAL,
        {"colour": 1},
        "got an unexpected keyword argument 'colour'",
    ),
    (
        "keyword names are case-sensitive",
        POSITIONAL[:7],
        {"Progress": None},
        "got an unexpected keyword argument 'Progress'",
    ),
    (
        "multiple values",
        POSITIONAL,
        {"edges": GRAPH["edges"]},
        "got multiple values for argument 'edges'",
    ),
    (
        "first bad keyword wins: unknown",
        POSITIONAL,
        {"colour": 1, "edges": GRAPH["edges"]},
        "got an unexpected keyword argument 'colour'",
    ),
    (
        "first bad keyword wins: duplicate",
        POSITIONAL,
        {"edges": GRAPH["edges"], "colour": 1},
        "got multiple values for argument 'edges'",
    ),
    (
        "unknown keyword before missing",
        POSITIONAL[:5],
        {"colour": 1},
        "got an unexpected keyword argument 'colour'",
    ),
    (
        "missing one",
        POSITIONAL[:7],
        {},
        "missing 1 required positional argument: 'progress'",
    ),
    (
        "missing two",
        POSITIONAL[:6],
        {},
        "missing 2 required positional arguments: 'settings' and 'progress'",
    ),
    (
        "missing three",
        POSITIONAL[:5],
        {},
        "missing 3 required positional arguments: "
        "'threads', 'settings', and 'progress'",
    ),
    (
        "missing all",
        [],
        {},
        "missing 8 required positional arguments: 'n_nodes', 'edges', 'weights', "
        "'init', 'iterations', 'threads', 'settings', and 'progress'",
    ),
    (
        "missing in parameter order, not keyword order",
        [],
        keywords("progress", "threads", "iterations", "edges", "n_nodes"),
        "missing 3 required positional arguments: 'weights', 'init', and 'settings'",
    ),
    (
        "missing one given by keyword",
        POSITIONAL[:3],
        keywords("iterations", "threads", "settings", "progress"),
        "missing 1 required positional argument: 'init'",
    ),
    (
        "None still counts as a value",
        [None] * 7,
        {},
        "missing 1 required positional argument: 'progress'",
    ),
]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [case[1:] for case in BINDING_ERRORS],
    ids=[case[0] for case in BINDING_ERRORS],
)
def test_binding_errors_use_the_interpreter_texts(
    args: list[Any], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError, match=f"^{re.escape('layout_raw() ' + message)}$"):
        layout_raw(*args, **kwargs)


@pytest.mark.parametrize("split", range(9), ids=lambda k: f"{k} positional")
def test_any_mix_of_positional_and_keyword_arguments_binds(split: int) -> None:
    expected = layout_raw(*POSITIONAL)
    reversed_keywords = dict(reversed(list(keywords(*PARAMETERS[split:]).items())))
    result = layout_raw(*POSITIONAL[:split], **reversed_keywords)
    assert np.array_equal(result, expected)


def conversion_case(
    name: str, argument: str, value: Any, error: type[BaseException], message: str
) -> Any:
    return pytest.param(argument, value, error, message, id=name)


class Positions(np.ndarray):
    """An ndarray subclass: accepted when its element type fits."""


def int64_edges() -> np.ndarray:
    return GRAPH["edges"].astype(np.int64)


CONVERSION_ERRORS = [
    conversion_case(
        "n_nodes str",
        "n_nodes",
        "3",
        TypeError,
        "argument 'n_nodes': 'str' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "n_nodes float",
        "n_nodes",
        3.0,
        TypeError,
        "argument 'n_nodes': 'float' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "n_nodes None",
        "n_nodes",
        None,
        TypeError,
        "argument 'n_nodes': 'NoneType' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "n_nodes negative",
        "n_nodes",
        -1,
        OverflowError,
        "can't convert negative int to unsigned",
    ),
    conversion_case(
        "n_nodes 2**64", "n_nodes", 2**64, OverflowError, "int too big to convert"
    ),
    conversion_case(
        "n_nodes negative __index__",
        "n_nodes",
        Index(-3),
        OverflowError,
        "can't convert negative int to unsigned",
    ),
    conversion_case(
        "threads str",
        "threads",
        "1",
        TypeError,
        "argument 'threads': 'str' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "threads negative",
        "threads",
        -1,
        OverflowError,
        "can't convert negative int to unsigned",
    ),
    conversion_case(
        "iterations str",
        "iterations",
        "1",
        TypeError,
        "argument 'iterations': 'str' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "iterations float",
        "iterations",
        1.0,
        TypeError,
        "argument 'iterations': 'float' object cannot be interpreted as an integer",
    ),
    conversion_case(
        "iterations -1",
        "iterations",
        -1,
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    conversion_case(
        "iterations 2**32",
        "iterations",
        2**32,
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    conversion_case(
        "iterations -2**63",
        "iterations",
        -(2**63),
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    conversion_case(
        "iterations 2**63-1",
        "iterations",
        2**63 - 1,
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    conversion_case(
        "iterations 2**63",
        "iterations",
        2**63,
        OverflowError,
        "Python int too large to convert to C long",
    ),
    conversion_case(
        "iterations -2**63-1",
        "iterations",
        -(2**63) - 1,
        OverflowError,
        "Python int too large to convert to C long",
    ),
    conversion_case(
        "edges list",
        "edges",
        [[0, 1]],
        TypeError,
        "argument 'edges': 'list' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges int64",
        "edges",
        int64_edges(),
        TypeError,
        "argument 'edges': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges int32",
        "edges",
        GRAPH["edges"].astype(np.int32),
        TypeError,
        "argument 'edges': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges big-endian uint32",
        "edges",
        GRAPH["edges"].astype(">u4"),
        TypeError,
        "argument 'edges': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges one dimension",
        "edges",
        np.zeros(4, dtype=np.uint32),
        TypeError,
        "argument 'edges': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges three dimensions",
        "edges",
        np.zeros((1, 2, 1), dtype=np.uint32),
        TypeError,
        "argument 'edges': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges None",
        "edges",
        None,
        TypeError,
        "argument 'edges': 'NoneType' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "edges numpy scalar",
        "edges",
        np.uint32(1),
        TypeError,
        "argument 'edges': 'uint32' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "weights shape (m, 1)",
        "weights",
        np.ones((13, 1)),
        TypeError,
        "argument 'weights': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "weights float32",
        "weights",
        np.ones(13, dtype=np.float32),
        TypeError,
        "argument 'weights': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "weights list",
        "weights",
        [1.0] * 13,
        TypeError,
        "argument 'weights': 'list' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "init None",
        "init",
        None,
        TypeError,
        "argument 'init': 'NoneType' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "init float32",
        "init",
        GRAPH["init"].astype(np.float32),
        TypeError,
        "argument 'init': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "init subclass of int64",
        "init",
        np.zeros((12, 2), dtype=np.int64).view(Positions),
        TypeError,
        "argument 'init': 'Positions' object cannot be converted to 'PyArray<T, D>'",
    ),
    conversion_case(
        "settings None",
        "settings",
        None,
        TypeError,
        "argument 'settings': 'NoneType' object cannot be converted to 'PyDict'",
    ),
    conversion_case(
        "settings list of pairs",
        "settings",
        [("gravity", 1.0)],
        TypeError,
        "argument 'settings': 'list' object cannot be converted to 'PyDict'",
    ),
]


@pytest.mark.parametrize(("argument", "value", "error", "message"), CONVERSION_ERRORS)
def test_conversion_errors(
    call_layout: Any,
    argument: str,
    value: Any,
    error: type[BaseException],
    message: str,
) -> None:
    with pytest.raises(error, match=f"^{re.escape(message)}$") as info:
        call_layout(**{argument: value})
    assert type(info.value) is error


def test_arguments_are_converted_in_parameter_order(call_layout: Any) -> None:
    with pytest.raises(TypeError, match=re.escape("argument 'n_nodes'")):
        call_layout(n_nodes="x", edges=None, settings=None)
    with pytest.raises(TypeError, match=re.escape("argument 'edges'")):
        call_layout(edges=None, init=None, iterations="x")
    with pytest.raises(OverflowError, match=re.escape("out of range integral")):
        call_layout(iterations=-1, threads="x", settings=None)


@pytest.mark.parametrize(
    ("argument", "value", "same_as"),
    [
        ("n_nodes", Index(12), 12),
        ("n_nodes", np.uint64(12), 12),
        ("threads", Index(2), 2),
        ("threads", True, 1),
        ("iterations", Index(3), 3),
        ("iterations", np.int64(3), 3),
        ("iterations", True, 1),
    ],
    ids=lambda v: type(v).__name__,
)
def test_integer_like_objects_are_accepted(
    call_layout: Any, argument: str, value: Any, same_as: int
) -> None:
    assert np.array_equal(
        call_layout(**{argument: value}), call_layout(**{argument: same_as})
    )


def test_array_subclasses_of_the_right_type_are_accepted(call_layout: Any) -> None:
    expected = call_layout(iterations=2)
    assert np.array_equal(
        call_layout(init=GRAPH["init"].view(Positions), iterations=2), expected
    )


def test_a_plain_type_error_from_a_hook_is_renamed_and_keeps_its_cause(
    call_layout: Any,
) -> None:
    cause = ValueError("underlying")
    error = TypeError("hook refused")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        call_layout(threads=RaisingIndex(error))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'threads': hook refused"
    assert info.value is not error
    assert info.value.__cause__ is cause


class RefusedType(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [RefusedType("subclass"), ValueError("value"), KeyboardInterrupt()],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("argument", ["n_nodes", "iterations", "threads"])
def test_other_hook_errors_pass_through_unchanged(
    call_layout: Any, argument: str, error: BaseException
) -> None:
    with pytest.raises(type(error)) as info:
        call_layout(**{argument: RaisingIndex(error)})
    assert info.value is error


def test_internal_error_from_a_hook_is_replaced_by_a_new_one(
    call_layout: Any,
    internal_error: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    original = internal_error("raised by a hook")
    with pytest.raises(internal_error) as info:
        call_layout(n_nodes=RaisingIndex(original))
    assert info.value is not original
    assert info.value.args == ("raised by a hook",)
    err = capsys.readouterr().err
    assert "resuming an internal error fetched from the interpreter" in err
    assert "raised by a hook" in err and "in __index__" in err


def test_internal_error_with_unreadable_text_gets_a_fallback(
    call_layout: Any, internal_error: type[BaseException]
) -> None:
    class Unprintable(internal_error):  # type: ignore[misc, valid-type]
        def __str__(self) -> str:
            raise RuntimeError("no text")

    with pytest.raises(internal_error) as info:
        call_layout(iterations=RaisingIndex(Unprintable()))
    assert type(info.value) is internal_error
    assert (
        str(info.value)
        == "internal error fetched from the interpreter (its text could not be read)"
    )
