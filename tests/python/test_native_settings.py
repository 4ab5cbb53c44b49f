"""Reading the settings dictionary: keys, defaults, conversions, order of errors."""

from __future__ import annotations

import math
import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from conftest import Layout, ring_graph

WEIGHTS = np.linspace(0.5, 3.0, len(ring_graph()["edges"]))
DEFAULTS = {
    "linLogMode": False,
    "outboundAttractionDistribution": False,
    "adjustSizes": False,
    "edgeWeightInfluence": 1.0,
    "scalingRatio": 1.0,
    "strongGravityMode": False,
    "gravity": 1.0,
    "slowDown": 1.0,
    "barnesHutOptimize": False,
    "barnesHutTheta": 0.5,
}
BOOL_KEYS = [key for key, value in DEFAULTS.items() if isinstance(value, bool)]
FLOAT_KEYS = [key for key, value in DEFAULTS.items() if isinstance(value, float)]
Run = Callable[[dict[Any, Any]], np.ndarray]


@pytest.fixture
def run(call_layout: Layout) -> Run:
    """Six weighted iterations on the ring graph with the given settings."""
    return lambda settings: call_layout(weights=WEIGHTS, iterations=6, settings=settings)


def same(first: np.ndarray, second: np.ndarray) -> bool:
    return bool(np.array_equal(first, second, equal_nan=True))


def test_absent_keys_take_the_defaults(
    run: Run,
) -> None:
    assert same(run({}), run(dict(DEFAULTS)))


# fmt: off
CHANGED = [
    ({"linLogMode": True}, {}), ({"outboundAttractionDistribution": True}, {}),
    ({"adjustSizes": True}, {}), ({"edgeWeightInfluence": 0.0}, {}), ({"scalingRatio": 3.0}, {}),
    ({"strongGravityMode": True}, {}), ({"gravity": 4.0}, {}), ({"slowDown": 2.0}, {}),
    ({"barnesHutOptimize": True}, {}), ({"barnesHutTheta": 1.5}, {"barnesHutOptimize": True}),
]
# fmt: on


@pytest.mark.parametrize(
    ("changed", "base"), CHANGED, ids=[",".join(base | changed) for changed, base in CHANGED]
)
def test_every_key_is_read_under_its_exact_name(
    run: Run,
    changed: dict[str, Any],
    base: dict[str, Any],
) -> None:
    assert not same(run(base | changed), run(base))
    [(key, value)] = changed.items()
    misspelt = {key[0].swapcase() + key[1:]: value, key.upper(): value, key + " ": value}
    assert same(run(base | misspelt), run(base)), "only the exact key counts"


class IndexOnly:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


BARNES_HUT = {"barnesHutOptimize": True}
# id: (settings given, settings they must act like)
# fmt: off
EQUIVALENT = {
    "int gravity": ({"gravity": 2}, {"gravity": 2.0}),
    "bool scalingRatio": ({"scalingRatio": True}, {"scalingRatio": 1.0}),
    "numpy float32": ({"slowDown": np.float32(1.5)}, {"slowDown": 1.5}),
    "__index__ only": ({"gravity": IndexOnly(3)}, {"gravity": 3.0}),
    "int rounded to nearest": ({"scalingRatio": 2**53 + 1}, {"scalingRatio": 2.0**53}),
    "numpy bools": (
        {"linLogMode": np.True_, "adjustSizes": np.False_},
        {"linLogMode": True, "adjustSizes": False},
    ),
    "negative theta": (BARNES_HUT | {"barnesHutTheta": -0.8}, BARNES_HUT | {"barnesHutTheta": 0.8}),
}
# fmt: on


@pytest.mark.parametrize(("given", "equivalent"), EQUIVALENT.values(), ids=EQUIVALENT)
def test_values_are_converted_as_the_interpreter_does(
    run: Run,
    given: dict[str, Any],
    equivalent: dict[str, Any],
) -> None:
    assert same(run(given), run(equivalent))


@pytest.mark.parametrize(
    "settings",
    [
        {"barnesHutTheta": -1.0},
        {"slowDown": 0.0},
        {"gravity": math.nan},
        {"scalingRatio": -math.inf},
    ],
    ids=lambda s: ",".join(f"{k}={v}" for k, v in s.items()),
)
def test_any_float_value_is_accepted_without_range_checks(
    run: Run, settings: dict[str, Any]
) -> None:
    assert run(settings).shape == (12, 2)


NOT_BOOLS = [(1, "int"), (0, "int"), (None, "NoneType"), ("true", "str"), (1.0, "float"),
             (np.int64(1), "int64"), (np.array(True), "ndarray"), ([True], "list")]  # fmt: skip


@pytest.mark.parametrize(("value", "qualname"), NOT_BOOLS, ids=lambda v: f"{v!r}")
@pytest.mark.parametrize("key", BOOL_KEYS)
def test_only_bools_are_booleans(run: Run, key: str, value: Any, qualname: str) -> None:
    message = f"'{qualname}' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        run({key: value})


def numpy_lookalike(name: str, truth: Any) -> Any:
    """An instance of a type that presents itself as NumPy's bool scalar type."""
    return type(name, (), {"__module__": "numpy", "__bool__": lambda self: truth})()


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_bool_types_are_asked_for_their_truth(run: Run, name: str) -> None:
    assert same(run({"linLogMode": numpy_lookalike(name, True)}), run({"linLogMode": True}))
    message = "'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        run({"linLogMode": numpy_lookalike(name, 1)})


def float_conversion_error(value: Any) -> BaseException:
    """The exception of the interpreter's own float conversion for `value`."""
    with pytest.raises(BaseException) as info:
        math.copysign(value, 1.0)
    return info.value


@pytest.mark.parametrize(
    "value", [None, "1", 2**1024, 1j, object()], ids=["None", "str", "2**1024", "complex", "object"]
)
@pytest.mark.parametrize("key", FLOAT_KEYS)
def test_float_conversion_errors_are_raised_unchanged(run: Run, key: str, value: Any) -> None:
    expected = float_conversion_error(value)
    with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$") as info:
        run({key: value})
    assert type(info.value) is type(expected)
    assert not str(info.value).startswith("argument")


class RaisingFloat:
    def __init__(self, error: BaseException) -> None:
        self.error = error
        self.calls = 0

    def __float__(self) -> float:
        self.calls += 1
        raise self.error


def test_an_exception_from_float_is_the_very_one_raised(
    run: Run,
) -> None:
    error = ValueError("no float for you")
    with pytest.raises(ValueError) as info:
        run({"gravity": RaisingFloat(error)})
    assert info.value is error


def test_internal_error_from_float_is_replaced_by_a_new_one(
    run: Run, internal_error: type[BaseException]
) -> None:
    original = internal_error("nested failure")
    with pytest.raises(internal_error, match=r"^nested failure$") as info:
        run({"slowDown": RaisingFloat(original)})
    assert info.value is not original


# id: (settings, exception, part of its message)
# fmt: off
FIRST_FAILURE = {
    "first key first": ({"linLogMode": 1, "gravity": "x"}, TypeError, "'int' object"),
    "table order, not dict order": ({"gravity": "x", "linLogMode": 1}, TypeError, "'int' object"),
    "gravity before theta": (
        {"barnesHutTheta": None, "gravity": 2**1024}, OverflowError, "int too large to convert"
    ),
    "slowDown before barnesHut": (
        {"barnesHutOptimize": 1, "slowDown": None}, TypeError, "real number"
    ),
}
# fmt: on


@pytest.mark.parametrize(
    ("settings", "error", "fragment"), FIRST_FAILURE.values(), ids=FIRST_FAILURE
)
def test_the_first_failing_key_in_table_order_wins(
    run: Run,
    settings: dict[str, Any],
    error: type[BaseException],
    fragment: str,
) -> None:
    with pytest.raises(error, match=re.escape(fragment)):
        run(settings)


def test_values_after_a_failing_key_are_not_looked_at(
    run: Run,
) -> None:
    later = RaisingFloat(ValueError("must not be converted"))
    with pytest.raises(TypeError):
        run({"adjustSizes": None, "slowDown": later})
    assert later.calls == 0


class CollidingKey:
    """A key that collides with "gravity" and fails when compared with it."""

    def __hash__(self) -> int:
        return hash("gravity")

    def __eq__(self, other: object) -> bool:
        raise LookupError("comparison refused")


def test_a_failing_lookup_ends_reading_with_its_exception(
    run: Run,
) -> None:
    with pytest.raises(LookupError, match=r"^comparison refused$"):
        run({CollidingKey(): 1.0})


class Defaulting(dict):  # type: ignore[type-arg]
    def __missing__(self, key: str) -> Any:
        return 100.0

    def __getitem__(self, key: str) -> Any:
        raise AssertionError("the dict's own lookup is used, not __getitem__")


def test_dict_subclass_hooks_are_not_consulted(
    run: Run,
) -> None:
    assert same(run(Defaulting()), run({}))
    assert same(run(Defaulting(gravity=3.0)), run({"gravity": 3.0}))


def test_settings_are_read_after_the_arrays_are_copied(
    call_layout: Layout, internal_error: type[BaseException]
) -> None:
    one_column = np.zeros((3, 1), np.uint32)
    with pytest.raises(internal_error):
        call_layout(edges=one_column, settings={"linLogMode": 1})
    with pytest.raises(TypeError, match=re.escape("argument 'settings'")):
        call_layout(edges=one_column, settings=None)
