"""Binding and converting the eight arguments of layout_raw."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import pytest
from conftest import PARAMETERS, Layout, ring_graph
from tallow_forceatlas2._native import layout_raw

GRAPH = ring_graph()
ARGS = [GRAPH[name] for name in PARAMETERS]


def keywords(*names: str) -> dict[str, Any]:
    return {name: GRAPH[name] for name in names}


TAKES = "takes 8 positional arguments but {} were given"
UNEXPECTED = "got an unexpected keyword argument '{}'"
MULTIPLE = "got multiple values for argument '{}'"
MISSING_ONE = "missing 1 required positional argument: '{}'"

# id: (positional, keyword, message after "layout_raw() ")
# fmt: off
BINDING_ERRORS = {
    "nine positional": ([*ARGS, None], {}, TAKES.format(9)),
    "twelve positional": ([*ARGS, 1, 2, 3, 4], {}, TAKES.format(12)),
    "too many before unknown": ([*ARGS, 1], {"x": 1}, TAKES.format(9)),
    "unknown keyword": (ARGS, {"colour": 1}, UNEXPECTED.format("colour")),
    "keywords case-sensitive": (ARGS[:7], {"Progress": None}, UNEXPECTED.format("Progress")),
    "multiple values": (ARGS, keywords("edges"), MULTIPLE.format("edges")),
    "first bad keyword: unknown": (ARGS, {"x": 1, "edges": 1}, UNEXPECTED.format("x")),
    "first bad keyword: duplicate": (ARGS, {"edges": 1, "x": 1}, MULTIPLE.format("edges")),
    "unknown before missing": (ARGS[:5], {"x": 1}, UNEXPECTED.format("x")),
    "missing one": (ARGS[:7], {}, MISSING_ONE.format("progress")),
    "None counts as a value": ([None] * 7, {}, MISSING_ONE.format("progress")),
    "missing one, rest by keyword": (
        ARGS[:3], keywords(*PARAMETERS[4:]), MISSING_ONE.format("init")
    ),
    "missing two": (
        ARGS[:6], {}, "missing 2 required positional arguments: 'settings' and 'progress'"
    ),
    "missing three": (
        ARGS[:5], {},
        "missing 3 required positional arguments: 'threads', 'settings', and 'progress'",
    ),
    "missing all": (
        [],
        {},
        (
            "missing 8 required positional arguments: 'n_nodes', 'edges', 'weights', 'init', "
            "'iterations', 'threads', 'settings', and 'progress'"
        ),
    ),
    "missing in parameter order": (
        [], keywords("progress", "threads", "iterations", "edges", "n_nodes"),
        "missing 3 required positional arguments: 'weights', 'init', and 'settings'",
    ),
}
# fmt: on


@pytest.mark.parametrize(("args", "kwargs", "message"), BINDING_ERRORS.values(), ids=BINDING_ERRORS)
def test_binding_errors_use_the_interpreter_texts(
    args: list[Any], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError, match=f"^{re.escape('layout_raw() ' + message)}$"):
        layout_raw(*args, **kwargs)


@pytest.mark.parametrize("split", range(9), ids=lambda k: f"{k} positional")
def test_any_mix_of_positional_and_keyword_arguments_binds(split: int) -> None:
    reversed_keywords = dict(reversed(keywords(*PARAMETERS[split:]).items()))
    assert np.array_equal(layout_raw(*ARGS[:split], **reversed_keywords), layout_raw(*ARGS))


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


class Positions(np.ndarray):
    """An ndarray subclass: accepted when its element type fits."""


NOT_INT = "'{}' object cannot be interpreted as an integer"
NOT_ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NOT_DICT = "'{}' object cannot be converted to 'PyDict'"
OUT_OF_RANGE = "out of range integral type conversion attempted"
NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"
C_LONG = "Python int too large to convert to C long"
EDGES, INIT = GRAPH["edges"], GRAPH["init"]

# id: (argument, value, exception, message); TypeErrors carry "argument 'NAME': " first.
# fmt: off
CONVERSION_ERRORS = {
    "n_nodes str": ("n_nodes", "3", TypeError, NOT_INT.format("str")),
    "n_nodes float": ("n_nodes", 3.0, TypeError, NOT_INT.format("float")),
    "n_nodes None": ("n_nodes", None, TypeError, NOT_INT.format("NoneType")),
    "n_nodes -1": ("n_nodes", -1, OverflowError, NEGATIVE),
    "n_nodes 2**64": ("n_nodes", 2**64, OverflowError, TOO_BIG),
    "n_nodes __index__ -3": ("n_nodes", Index(-3), OverflowError, NEGATIVE),
    "threads str": ("threads", "1", TypeError, NOT_INT.format("str")),
    "threads -1": ("threads", -1, OverflowError, NEGATIVE),
    "iterations str": ("iterations", "1", TypeError, NOT_INT.format("str")),
    "iterations float": ("iterations", 1.0, TypeError, NOT_INT.format("float")),
    "iterations -1": ("iterations", -1, OverflowError, OUT_OF_RANGE),
    "iterations 2**32": ("iterations", 2**32, OverflowError, OUT_OF_RANGE),
    "iterations -2**63": ("iterations", -(2**63), OverflowError, OUT_OF_RANGE),
    "iterations 2**63-1": ("iterations", 2**63 - 1, OverflowError, OUT_OF_RANGE),
    "iterations 2**63": ("iterations", 2**63, OverflowError, C_LONG),
    "iterations -2**63-1": ("iterations", -(2**63) - 1, OverflowError, C_LONG),
    "edges list": ("edges", [[0, 1]], TypeError, NOT_ARRAY.format("list")),
    "edges None": ("edges", None, TypeError, NOT_ARRAY.format("NoneType")),
    "edges int64": ("edges", EDGES.astype(np.int64), TypeError, NOT_ARRAY.format("ndarray")),
    "edges int32": ("edges", EDGES.astype(np.int32), TypeError, NOT_ARRAY.format("ndarray")),
    "edges big-endian": ("edges", EDGES.astype(">u4"), TypeError, NOT_ARRAY.format("ndarray")),
    "edges 1-D": ("edges", np.zeros(4, np.uint32), TypeError, NOT_ARRAY.format("ndarray")),
    "edges 3-D": ("edges", np.zeros((1, 2, 1), np.uint32), TypeError, NOT_ARRAY.format("ndarray")),
    "edges scalar": ("edges", np.uint32(1), TypeError, NOT_ARRAY.format("uint32")),
    "weights (m, 1)": ("weights", np.ones((13, 1)), TypeError, NOT_ARRAY.format("ndarray")),
    "weights float32": ("weights", np.ones(13, np.float32), TypeError, NOT_ARRAY.format("ndarray")),
    "weights list": ("weights", [1.0] * 13, TypeError, NOT_ARRAY.format("list")),
    "init None": ("init", None, TypeError, NOT_ARRAY.format("NoneType")),
    "init float32": ("init", INIT.astype(np.float32), TypeError, NOT_ARRAY.format("ndarray")),
    "init int64 subclass": (
        "init", INIT.astype(np.int64).view(Positions), TypeError, NOT_ARRAY.format("Positions")
    ),
    "settings None": ("settings", None, TypeError, NOT_DICT.format("NoneType")),
    "settings pairs": ("settings", [("gravity", 1.0)], TypeError, NOT_DICT.format("list")),
}
# fmt: on


@pytest.mark.parametrize(
    ("argument", "value", "error", "message"), CONVERSION_ERRORS.values(), ids=CONVERSION_ERRORS
)
def test_conversion_errors(
    call_layout: Layout, argument: str, value: Any, error: type[BaseException], message: str
) -> None:
    if error is TypeError:
        message = f"argument '{argument}': {message}"
    with pytest.raises(error, match=f"^{re.escape(message)}$") as info:
        call_layout(**{argument: value})
    assert type(info.value) is error


def test_arguments_are_converted_in_parameter_order(call_layout: Layout) -> None:
    with pytest.raises(TypeError, match=re.escape("argument 'n_nodes'")):
        call_layout(n_nodes="x", edges=None, settings=None)
    with pytest.raises(TypeError, match=re.escape("argument 'edges'")):
        call_layout(edges=None, init=None, iterations="x")
    with pytest.raises(OverflowError, match=re.escape(OUT_OF_RANGE)):
        call_layout(iterations=-1, threads="x", settings=None)


ACCEPTED = [
    ("n_nodes", Index(12), 12),
    ("n_nodes", np.uint64(12), 12),
    ("threads", Index(2), 2),
    ("threads", True, 1),
    ("iterations", Index(3), 3),
    ("iterations", np.int64(3), 3),
    ("iterations", True, 1),
    ("init", INIT.view(Positions), INIT),
]


@pytest.mark.parametrize(
    ("argument", "value", "same_as"),
    ACCEPTED,
    ids=[f"{argument} as {type(value).__name__}" for argument, value, _ in ACCEPTED],
)
def test_integer_likes_and_array_subclasses_are_accepted(
    call_layout: Layout, argument: str, value: Any, same_as: Any
) -> None:
    base = {"iterations": 2}
    expected = call_layout(**(base | {argument: same_as}))
    assert np.array_equal(call_layout(**(base | {argument: value})), expected)


def test_a_plain_type_error_from_a_hook_is_renamed_and_keeps_its_cause(call_layout: Layout) -> None:
    cause = ValueError("underlying")
    error = TypeError("hook refused")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        call_layout(threads=RaisingIndex(error))
    assert type(info.value) is TypeError and info.value is not error
    assert str(info.value) == "argument 'threads': hook refused"
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
    call_layout: Layout, argument: str, error: BaseException
) -> None:
    with pytest.raises(type(error)) as info:
        call_layout(**{argument: RaisingIndex(error)})
    assert info.value is error


def test_internal_error_from_a_hook_is_replaced_by_a_new_one(
    call_layout: Layout, internal_error: type[BaseException], capsys: pytest.CaptureFixture[str]
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
    call_layout: Layout, internal_error: type[BaseException]
) -> None:
    class Unprintable(internal_error):  # type: ignore[misc, valid-type]
        def __str__(self) -> str:
            raise RuntimeError("no text")

    with pytest.raises(internal_error) as info:
        call_layout(iterations=RaisingIndex(Unprintable()))
    assert type(info.value) is internal_error
    fallback = "internal error fetched from the interpreter (its text could not be read)"
    assert str(info.value) == fallback
