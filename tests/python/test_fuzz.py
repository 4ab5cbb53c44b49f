"""Fuzzing layout_raw and layout() with hostile arguments.

layout_raw gets arrays of any dtype, shape, strides and byte order, odd
settings values, conversion hooks (``__index__``, ``__float__``) that mutate
the arrays or raise while the arguments are converted, and progress callbacks
that raise or call layout_raw again. Every call must either return a float64
``(n_nodes, 2)`` array or raise one of its documented errors, and must end as
a plain call with contiguous copies of what it was given ends: hooks that
mutate arrays after their check change nothing. layout() must turn every bad
argument into TypeError, ValueError or MemoryError.

``TALLOW_FUZZ_PROFILE=ci`` picks a derandomised profile, so that a CI run
tries the same examples every time. ``TALLOW_FUZZ_TRACE=<file>`` writes each
example to that file before it runs, so a crash leaves its reproducer behind.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import cache
from typing import Any

import numpy as np
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st
from tallow_forceatlas2 import layout
from tallow_forceatlas2._native import layout_raw

settings.register_profile(
    "dev", deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)
settings.register_profile("ci", settings.get_profile("dev"), derandomize=True, database=None)
PROFILE = settings.get_profile(os.environ.get("TALLOW_FUZZ_PROFILE", "dev"))
TRACE = os.environ.get("TALLOW_FUZZ_TRACE")
# TALLOW_FUZZ_SCALE=20 tries twenty times the examples, for a long soak.
SCALE = float(os.environ.get("TALLOW_FUZZ_SCALE", "1"))


def examples(count: int) -> int:
    return max(1, round(count * SCALE))


# AddressSanitizer's operator new reports a failed allocation and aborts
# instead of throwing std::bad_alloc, so under it no allocation may fail:
# only node counts whose matrix size overflows (40 bytes a node) are tried.
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
# Node counts whose node matrix no machine can allocate.
UNALLOCATABLE_NODES = st.integers(2**58 if ASAN else 2**43, 2**64 - 1)
SETTING_FLAGS = (
    "linLogMode",
    "outboundAttractionDistribution",
    "adjustSizes",
    "strongGravityMode",
    "barnesHutOptimize",
)
SETTING_NUMBERS = ("edgeWeightInfluence", "scalingRatio", "gravity", "slowDown", "barnesHutTheta")


class HookError(Exception):
    """Raised by a hook or callback on purpose; it must reach the caller unchanged."""


@cache
def internal_error_class() -> type[BaseException]:
    """The internal-error class, which the module does not expose: provoked once."""
    try:
        layout_raw(1, np.array([[0, 1]], np.uint32), None, np.zeros((1, 2)), 0, 1, {}, None)
    except BaseException as error:  # noqa: BLE001 - the class is what we are after
        assert not isinstance(error, Exception), "the internal error must escape 'except Exception'"
        return type(error)
    raise AssertionError("an edge to a missing node must be an internal error")


def trace(text: str) -> None:
    note(text)
    if TRACE:
        with open(TRACE, "w", encoding="utf-8") as out:
            out.write(text + "\n")


# ---- Arrays in every arrangement --------------------------------------------

ARRANGEMENTS = (
    "contiguous",
    "fortran",
    "reversed",
    "every_other_row",
    "spread_columns",
    "transposed",
    "unaligned",
    "odd_strides",
    "negative_odd_strides",
    "broadcast_first_row",
    "read_only",
)


# Half the arrays own their contiguous data: only those can be resized in place.
ARRANGED = st.one_of(st.just("contiguous"), st.sampled_from(ARRANGEMENTS))
# Arrangements that place the values in a raw byte buffer, which cannot hold objects.
BUFFER_BASED = ("unaligned", "odd_strides", "negative_odd_strides")


def _strided_view(content: np.ndarray, shift: int, negative: bool) -> np.ndarray:
    """content's values at byte strides that are not multiples of the item size."""
    item = content.dtype.itemsize
    steps = [0] * content.ndim
    step = item + 1 + shift % 3
    for axis in reversed(range(content.ndim)):
        steps[axis] = step
        step = step * max(content.shape[axis], 1) + 1
    extent = sum((n - 1) * s for n, s in zip(content.shape, steps) if n > 0)
    buffer = np.zeros(extent + item + shift + 1, np.uint8)
    if negative:
        view = np.ndarray(
            content.shape, content.dtype, buffer, shift + extent, tuple(-s for s in steps)
        )
    else:
        view = np.ndarray(content.shape, content.dtype, buffer, shift, tuple(steps))
    view[...] = content
    return view


def arrange(content: np.ndarray, arrangement: str, shift: int) -> np.ndarray:
    """A new array holding `content`'s values, laid out in memory as named."""
    if content.ndim == 0 or (content.dtype.hasobject and arrangement in BUFFER_BASED):
        return content.copy()
    if arrangement == "fortran":
        return np.asfortranarray(content.copy())
    if arrangement == "reversed":
        return content[::-1].copy()[::-1]
    if arrangement == "every_other_row":
        base = np.zeros((2 * content.shape[0], *content.shape[1:]), content.dtype)
        base[::2] = content
        return base[::2]
    if arrangement == "spread_columns" and content.ndim >= 2:
        base = np.zeros((*content.shape[:-1], 2 * content.shape[-1] + 1), content.dtype)
        base[..., 1::2] = content
        return base[..., 1::2]
    if arrangement == "transposed":
        return content.T.copy().T
    if arrangement == "unaligned":
        buffer = np.zeros(content.nbytes + 1 + shift % 7, np.uint8)
        view = np.ndarray(content.shape, content.dtype, buffer, 1 + shift % 7)
        view[...] = content
        return view
    if arrangement in ("odd_strides", "negative_odd_strides"):
        return _strided_view(content, shift, arrangement == "negative_odd_strides")
    if arrangement == "broadcast_first_row" and content.shape[0] > 0:
        return np.broadcast_to(content[:1], content.shape)
    copy = content.copy()
    if arrangement == "read_only":
        copy.flags.writeable = False
    return copy


@dataclass(frozen=True)
class ArrayArgument:
    """An array argument: its values and how they lie in memory (None: literal)."""

    content: Any
    arrangement: str | None = None
    shift: int = 0

    def build(self) -> Any:
        if self.arrangement is None:
            return self.content
        return arrange(self.content, self.arrangement, self.shift)


def mostly(good: st.SearchStrategy[Any], bad: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Mostly `good`: a call fails at its first bad argument, so arguments
    that are bad one at a time let the later ones be reached. Shrinks to good."""
    return st.integers(0, 15).flatmap(lambda pick: bad if pick == 7 else good)


FLOAT_VALUES = st.one_of(
    st.floats(-1e3, 1e3),
    st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 3.5e38]),
)


def numpy_arrays(
    dtypes: list[np.dtype[Any]], ndims: list[int], widths: list[int], values: st.SearchStrategy[Any]
) -> st.SearchStrategy[np.ndarray]:
    @st.composite
    def build(draw: st.DrawFn) -> np.ndarray:
        dtype = draw(st.sampled_from(dtypes))
        ndim = draw(st.sampled_from(ndims))
        shape = [draw(st.integers(0, 40))] + [
            draw(st.sampled_from(widths)) for _ in range(ndim - 1)
        ]
        count = int(np.prod(shape))
        flat = draw(st.lists(values, min_size=count, max_size=count))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # casting NaN or negatives to integers
            return np.array(flat, dtype=np.float64).astype(dtype).reshape(shape)

    return build()


NON_ARRAYS = st.sampled_from([None, [[0, 1]], [[0.0, 1.0]], "edges", 3, b"\x00" * 16])


def array_arguments(
    native: str,
    others: list[str],
    ndim: int,
    widths: list[int],
    values: st.SearchStrategy[Any],
    odd_values: st.SearchStrategy[Any] | None = None,
) -> st.SearchStrategy[ArrayArgument]:
    """Mostly the accepted dtype and ndim with `values`; sometimes a wrong dtype
    or ndim, `odd_values` among the values, or no array at all."""
    good = np.dtype(native)
    bad = [np.dtype(name) for name in others] + [good.newbyteorder()]
    wrong = st.one_of(
        numpy_arrays(bad, [ndim], widths, values),
        numpy_arrays([good], [ndim - 1, ndim + 1], widths, values),
        numpy_arrays(
            [good], [ndim], widths, st.one_of(values, values if odd_values is None else odd_values)
        ),
    )
    return mostly(
        st.builds(
            ArrayArgument, numpy_arrays([good], [ndim], widths, values), ARRANGED, st.integers(0, 7)
        ),
        st.one_of(
            st.builds(ArrayArgument, wrong, ARRANGED, st.integers(0, 7)),
            st.builds(ArrayArgument, NON_ARRAYS),
        ),
    )


# ---- Counts, settings and hooks ----------------------------------------------


@dataclass
class Hook:
    """What a conversion hook does before it returns its value."""

    action: str  # none, mutate, raise, raise_type_error, nested, nested_internal
    target: str = "edges"
    mutation: str = "overwrite"
    raised: BaseException | None = field(default=None, compare=False)
    mutated: bool = field(default=False, compare=False)
    # The arrays right after the mutation: what a call that checks them later sees.
    snapshot: dict[str, Any] = field(default_factory=dict, compare=False)
    nested_failures: list[str] = field(default_factory=list, compare=False)

    def run(self, arrays: dict[str, Any]) -> None:
        if self.action == "mutate":
            self.mutated = mutate(arrays.get(self.target), self.mutation)
            self.snapshot = {name: copied(value) for name, value in arrays.items()}
        elif self.action in ("raise", "raise_type_error"):
            self.raised = (HookError if self.action == "raise" else TypeError)("hook refuses")
            raise self.raised
        elif self.action == "nested":
            nested_layout(self.nested_failures)
        elif self.action == "nested_internal":
            layout_raw(1, np.array([[0, 5]], np.uint32), None, np.zeros((1, 2)), 1, 1, {}, None)


MUTATIONS = (
    "overwrite",
    "resize_larger",
    "resize_smaller",
    "resize_empty",
    "flatten",
    "view_as_bytes",
    "view_as_float32",
)


def mutate(array: Any, mutation: str) -> bool:
    """Changes `array` in place as named; False when NumPy refuses the change."""
    if not isinstance(array, np.ndarray):
        return False
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy 2.5 deprecates setting shape and dtype
            if mutation == "overwrite":
                array[...] = 7
            elif mutation == "resize_larger":
                array.resize((5000, *array.shape[1:]), refcheck=False)
            elif mutation == "resize_smaller":
                array.resize((1, *array.shape[1:]), refcheck=False)
            elif mutation == "resize_empty":
                array.resize((0,), refcheck=False)
            elif mutation == "flatten":
                array.shape = (array.size,)
            elif mutation == "view_as_bytes":
                array.dtype = np.uint8
            elif mutation == "view_as_float32":
                array.dtype = np.float32
    except (ValueError, AttributeError, TypeError):
        return False
    return True


NESTED_EDGES = np.array([[0, 1], [1, 2], [2, 0]], np.uint32)
NESTED_INIT = np.array([[0.0, 1.0], [2.0, -1.0], [1.5, 3.0]])


@cache
def nested_expected() -> bytes:
    return layout_raw(3, NESTED_EDGES, None, NESTED_INIT, 4, 1, {}, None).tobytes()


def nested_layout(failures: list[str]) -> None:
    """A layout_raw call from inside another one's hook or callback."""
    expected = nested_expected()
    got = layout_raw(3, NESTED_EDGES, None, NESTED_INIT, 4, 2, {}, None).tobytes()
    if got != expected:
        failures.append("a nested layout_raw call gave other bits than a lone one")


class Index:
    """An integer argument through __index__, running its hook first."""

    def __init__(self, value: int, hook: Hook, arrays: dict[str, Any]) -> None:
        self.value, self.hook, self.arrays = value, hook, arrays

    def __index__(self) -> int:
        self.hook.run(self.arrays)
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value}, {self.hook})"


class Float:
    """A float setting through __float__, running its hook first."""

    def __init__(self, value: float, hook: Hook, arrays: dict[str, Any]) -> None:
        self.value, self.hook, self.arrays = value, hook, arrays

    def __float__(self) -> float:
        self.hook.run(self.arrays)
        return self.value

    def __repr__(self) -> str:
        return f"Float({self.value}, {self.hook})"


class IntSubclass(int):
    pass


class LoudDict(dict):  # type: ignore[type-arg]
    """A dict subclass whose own lookups layout_raw must not consult."""

    def __getitem__(self, key: object) -> object:
        raise HookError("a dict subclass's __getitem__ was consulted")

    def __missing__(self, key: object) -> object:
        raise HookError("a dict subclass's __missing__ was consulted")


HOOKS = st.one_of(
    st.builds(
        Hook,
        st.just("mutate"),
        st.sampled_from(["edges", "weights", "init"]),
        st.sampled_from(MUTATIONS),
    ),
    st.builds(Hook, st.sampled_from(["raise", "raise_type_error", "nested", "nested_internal"])),
)

SMALL_COUNTS = st.one_of(
    st.integers(0, 3),
    st.integers(0, 3).map(IntSubclass),
    st.integers(0, 3).map(np.int64),
    st.integers(0, 3).map(np.uint8),
    st.just(True),
)
NOT_COUNTS = [-1, 2**64, 10**30, -(2**63) - 1, 1.0, "2", None, 2.5]
ITERATION_COUNTS = mostly(SMALL_COUNTS, st.sampled_from([*NOT_COUNTS, 2**32, 2**63]))
# Large valid thread counts are left out: a pool of 65,535 workers takes the
# machine's whole thread table for seconds.
THREAD_COUNTS = mostly(SMALL_COUNTS, st.sampled_from(NOT_COUNTS))
NODE_COUNTS = mostly(
    st.integers(10, 45), st.one_of(st.integers(0, 9), UNALLOCATABLE_NODES, THREAD_COUNTS)
)


@dataclass(frozen=True)
class Count:
    """An integer argument: a value, or a hook that returns one."""

    value: Any
    hook: Hook | None = None

    def build(self, arrays: dict[str, Any]) -> Any:
        if self.hook is None:
            return self.value
        return Index(self.value, self.hook, arrays)

    def plain(self) -> Any:
        return self.value


def counts(values: st.SearchStrategy[Any]) -> st.SearchStrategy[Count]:
    hooked = st.builds(Count, st.integers(0, 3), HOOKS)
    return st.one_of(st.builds(Count, values), hooked)


ODD_SETTING_VALUES = st.sampled_from(
    [0, 1, 10**400, -(10**400), None, "1", np.float32(0.5), np.int64(3), np.array(True), 1j]
)
FLAG_VALUES = mostly(st.one_of(st.booleans(), st.just(np.bool_(True))), ODD_SETTING_VALUES)
NUMBER_VALUES = mostly(
    st.one_of(FLOAT_VALUES, st.just(np.float64(2.0)), st.just(np.bool_(False))), ODD_SETTING_VALUES
)


@dataclass(frozen=True)
class SettingsArgument:
    """The settings dict: plain values, and at most one float hidden behind a hook."""

    values: dict[str, Any]
    kind: str = "dict"  # dict, subclass, or a non-dict literal
    hooked_key: str | None = None
    hook: Hook | None = None

    def build(self, arrays: dict[str, Any]) -> Any:
        values: dict[str, Any] = dict(self.values)
        if self.hooked_key is not None and self.hook is not None:
            values[self.hooked_key] = Float(1.5, self.hook, arrays)
        if self.kind == "dict":
            return values
        if self.kind == "subclass":
            return LoudDict(values)
        return {"list": list(values.items()), "none": None}[self.kind]

    def plain(self) -> Any:
        values: dict[str, Any] = dict(self.values)
        if self.hooked_key is not None and self.hook is not None:
            values[self.hooked_key] = 1.5
        return {"dict": values, "subclass": LoudDict(values)}.get(self.kind, self.build({}))


SETTINGS_ARGUMENTS = st.builds(
    SettingsArgument,
    st.fixed_dictionaries(
        {},
        optional={
            **dict.fromkeys(SETTING_FLAGS, FLAG_VALUES),
            **dict.fromkeys(SETTING_NUMBERS, NUMBER_VALUES),
            "unknownKey": ODD_SETTING_VALUES,
        },
    ),
    mostly(st.sampled_from(["dict", "subclass"]), st.sampled_from(["list", "none"])),
    st.one_of(st.none(), st.sampled_from(SETTING_NUMBERS)),
    st.one_of(st.none(), HOOKS),
)


@dataclass
class Progress:
    """A progress callback: records its calls, may raise or call layout_raw itself."""

    action: str  # record, raise, junk, nested, nested_internal, not_callable
    at_call: int = 1
    calls: list[tuple[int, int]] = field(default_factory=list, compare=False)
    raised: BaseException | None = field(default=None, compare=False)
    nested_failures: list[str] = field(default_factory=list, compare=False)

    def __call__(self, done: int, total: int) -> object:
        self.calls.append((done, total))
        if len(self.calls) == self.at_call:
            if self.action == "raise":
                self.raised = HookError(f"progress refuses at {done}")
                raise self.raised
            if self.action == "nested":
                nested_layout(self.nested_failures)
            if self.action == "nested_internal":
                layout_raw(1, np.array([[0, 5]], np.uint32), None, np.zeros((1, 2)), 1, 1, {}, None)
        return "ignored" if self.action == "junk" else None

    def fresh(self) -> Progress:
        return Progress(self.action, self.at_call)

    def build(self) -> Any:
        return 5 if self.action == "not_callable" else self


PROGRESS = st.one_of(
    st.none(),
    st.builds(
        Progress,
        st.sampled_from(["record", "raise", "junk", "nested", "nested_internal", "not_callable"]),
        st.integers(1, 3),
    ),
)


# ---- layout_raw ----------------------------------------------------------------


@dataclass(frozen=True)
class RawCase:
    n_nodes: Count
    edges: ArrayArgument
    weights: ArrayArgument
    init: ArrayArgument
    iterations: Count
    threads: Count
    settings: SettingsArgument
    progress: Progress | None


RAW_CASES = st.builds(
    RawCase,
    counts(NODE_COUNTS),
    array_arguments(
        "uint32",
        ["int64", "int32", "uint64", "float64", "bool", "uint16"],
        2,
        [2, 2, 2, 2, 2, 2, 3, 0, 1],
        st.integers(0, 9),
        st.one_of(st.integers(0, 47), st.just(2**32 - 1)),
    ),
    st.one_of(
        st.just(ArrayArgument(None)),
        array_arguments("float64", ["float32", "complex128", "int64"], 1, [1], FLOAT_VALUES),
    ),
    array_arguments("float64", ["float32", "int64", "object"], 2, [2, 2, 1, 3], FLOAT_VALUES),
    counts(ITERATION_COUNTS),
    counts(THREAD_COUNTS),
    SETTINGS_ARGUMENTS,
    PROGRESS,
)

# The hooks that run after every array has been checked and copied.
AFTER_COPIES = ("iterations", "threads", "settings")


def outcome(call: Callable[[], np.ndarray]) -> tuple[Any, ...]:
    """How a call ended, comparable between two calls: the result's bits or the error."""
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - internal errors are BaseException
        return ("raised", type(error), str(error), error)
    return ("returned", result.dtype, result.shape, result.flags.c_contiguous, result.tobytes())


def allowed_error(error: BaseException, hooks: list[Hook], progress: Progress | None) -> bool:
    """True for the errors layout_raw documents."""
    if isinstance(error, (TypeError, OverflowError, MemoryError, internal_error_class())):
        return True
    own = [hook.raised for hook in hooks] + [progress.raised if progress else None]
    return any(error is raised for raised in own if raised is not None)


def raw_arguments(case: RawCase) -> tuple[list[Any], dict[str, Any], list[Hook]]:
    arrays = {
        "edges": case.edges.build(),
        "weights": case.weights.build(),
        "init": case.init.build(),
    }
    arguments = [
        case.n_nodes.build(arrays),
        arrays["edges"],
        arrays["weights"],
        arrays["init"],
        case.iterations.build(arrays),
        case.threads.build(arrays),
        case.settings.build(arrays),
        case.progress.build() if case.progress else None,
    ]
    hooks = [
        h
        for h in (
            case.n_nodes.hook,
            case.iterations.hook,
            case.threads.hook,
            case.settings.hook if case.settings.hooked_key else None,
        )
        if h
    ]
    return arguments, arrays, hooks


def copied(value: Any) -> Any:
    return value.copy() if isinstance(value, np.ndarray) else value


@settings(PROFILE, max_examples=examples(1500))
@given(RAW_CASES)
def test_layout_raw_returns_positions_or_a_documented_error(case: RawCase) -> None:
    trace(f"layout_raw case: {case!r}")
    arguments, arrays, hooks = raw_arguments(case)
    before = {name: copied(value) for name, value in arrays.items()}
    before_bytes = {n: v.tobytes() for n, v in before.items() if isinstance(v, np.ndarray)}
    ended = outcome(lambda: layout_raw(*arguments))

    if ended[0] == "raised":
        assert allowed_error(ended[3], hooks, case.progress), f"undocumented {ended[1]}: {ended[2]}"
    else:
        n_nodes = case.n_nodes.value
        assert ended[1:4] == (np.dtype(np.float64), (int(n_nodes), 2), True)
    for hook in hooks:
        assert not hook.nested_failures, hook.nested_failures
    if case.progress:
        assert not case.progress.nested_failures, case.progress.nested_failures

    mutated = any(hook.mutated for hook in hooks)
    if not mutated:
        for name, value in arrays.items():
            if name in before_bytes:
                assert value.tobytes() == before_bytes[name], f"layout_raw changed {name}"

    # The same call with contiguous copies and plain values: what a hook did
    # after the arrays were copied must not show, nor how the arrays were laid out.
    # A hook of n_nodes runs before any array is checked: the call sees its mutation.
    early = case.n_nodes.hook
    seen = early.snapshot if early is not None and early.mutated else before
    fresh = case.progress.fresh() if case.progress else None
    plain = [
        case.n_nodes.plain(),
        copied(seen["edges"]),
        copied(seen["weights"]),
        copied(seen["init"]),
        case.iterations.plain(),
        case.threads.plain(),
        case.settings.plain(),
        fresh.build() if fresh else None,
    ]
    expected = outcome(lambda: layout_raw(*plain))
    raised_by_hook = ended[0] == "raised" and any(ended[3] is h.raised for h in hooks)
    prefixed_hook_error = (
        ended[0] == "raised"
        and ended[1] is TypeError
        and any(h.action == "raise_type_error" for h in hooks)
        and ended[2].endswith(": hook refuses")
    )
    resumed_internal = (
        ended[0] == "raised"
        and ended[1] is internal_error_class()
        and any(h.action == "nested_internal" for h in hooks)
        and "index out of bounds" in ended[2]
    )
    if raised_by_hook or prefixed_hook_error or resumed_internal:
        return  # the hook ended the call before the plain call's outcome was reached
    assert ended[:3] == expected[:3] and ended[4:] == expected[4:], (
        f"hostile call ended as {ended[:3]}, a plain call with copies as {expected[:3]}"
    )
    if case.progress and case.progress.action != "not_callable":
        assert fresh is not None
        assert case.progress.calls == fresh.calls
        total = len(case.progress.calls)
        assert case.progress.calls == [(i, case.progress.calls[0][1]) for i in range(1, total + 1)]


@settings(PROFILE, max_examples=examples(300))
@given(
    target=st.sampled_from(["edges", "weights", "init"]),
    mutation=st.sampled_from(MUTATIONS),
    hooked=st.sampled_from(AFTER_COPIES),
    threads=st.integers(0, 3),
    barnes_hut=st.booleans(),
    rows=st.integers(1, 60),
    seed=st.integers(0, 2**32 - 1),
)
def test_hooks_that_mutate_copied_arrays_change_nothing(
    target: str, mutation: str, hooked: str, threads: int, barnes_hut: bool, rows: int, seed: int
) -> None:
    rng = np.random.default_rng(seed)
    arrays = {
        "edges": rng.integers(0, 20, size=(rows, 2)).astype(np.uint32),
        "weights": rng.uniform(0.5, 2.0, rows),
        "init": rng.normal(size=(20, 2)) * 10,
    }
    copies = {name: value.copy() for name, value in arrays.items()}
    hook = Hook("mutate", target, mutation)
    plain_settings = {"barnesHutOptimize": barnes_hut, "gravity": 1.5}
    counts: list[Any] = [3, threads, dict(plain_settings)]
    if hooked == "iterations":
        counts[0] = Index(3, hook, arrays)
    elif hooked == "threads":
        counts[1] = Index(threads, hook, arrays)
    else:
        counts[2]["gravity"] = Float(1.5, hook, arrays)
    trace(f"mutation {mutation} of {target} in the {hooked} hook, seed {seed}")
    result = layout_raw(20, *arrays.values(), *counts, None)
    expected = layout_raw(20, *copies.values(), 3, threads, plain_settings, None)
    assert hook.mutated, f"NumPy refused the mutation {mutation} of {target}"
    assert result.tobytes() == expected.tobytes()


# ---- layout() ------------------------------------------------------------------

LAYOUT_COUNTS = mostly(
    st.one_of(st.integers(0, 3), st.sampled_from([np.int16(2), np.uint64(1)])),
    st.sampled_from([-1, 2**32, 2**64, 10**30, True, 1.0, 2.5, "3", math.nan, None]),
)
# Nodes beyond uint32, or so many that memory cannot hold them (72 bytes a node).
LAYOUT_NODES = mostly(
    st.one_of(st.none(), st.integers(0, 45)),
    st.one_of(st.integers(2**32 - 2**20, 2**64), LAYOUT_COUNTS),
)
LAYOUT_FLOATS = mostly(
    st.floats(0.01, 100.0),
    st.one_of(FLOAT_VALUES, st.sampled_from([None, "1", True, 10**400, -3, 1j])),
)
LAYOUT_FLAGS = mostly(st.booleans(), st.sampled_from([None, 0, 1, "yes", np.bool_(True)]))
NUMBER_KEYWORDS = ("edge_weight_influence", "scaling_ratio", "gravity", "slow_down")
FLAG_KEYWORDS = ("lin_log", "dissuade_hubs", "prevent_overlap", "strong_gravity", "barnes_hut")
LAYOUT_KEYWORDS = st.fixed_dictionaries(
    {},
    optional={
        **dict.fromkeys(NUMBER_KEYWORDS, LAYOUT_FLOATS),
        "barnes_hut_theta": LAYOUT_FLOATS,
        **dict.fromkeys(FLAG_KEYWORDS, LAYOUT_FLAGS),
        "n_nodes": LAYOUT_NODES,
        "iterations": LAYOUT_COUNTS,
        "threads": LAYOUT_COUNTS,
        "seed": mostly(st.integers(0, 2**70), st.sampled_from([None, -5, 1.5, "s"])),
        "weight": st.sampled_from([None, "weight", "missing", 3]),
    },
)


@dataclass(frozen=True)
class LayoutCase:
    graph: ArrayArgument
    weights: ArrayArgument | None
    pos: ArrayArgument | None
    keywords: dict[str, Any]
    progress: Progress | None


EDGE_DTYPES = ["int64", "uint32", "int8", "uint64", ">i4", "uint16"]
ODD_EDGE_DTYPES = ["float64", "bool", "float32", "complex128", "object", "<U3"]
ODD_EDGES = st.sampled_from([[[0, 1], [1, 2]], [], [[0, 1, 2]], "graph", None, 5, [[0, "a"]]])
EDGE_ARRAYS = mostly(
    numpy_arrays([np.dtype(t) for t in EDGE_DTYPES], [2], [2], st.integers(0, 9)),
    st.one_of(
        numpy_arrays(
            [np.dtype(t) for t in EDGE_DTYPES + ODD_EDGE_DTYPES],
            [1, 2, 3],
            [2, 1, 3],
            st.one_of(
                st.integers(0, 30), st.sampled_from([-1, 2**32, 2**40, math.nan, math.inf, 0.5])
            ),
        ),
    ),
)


def optional_arrays(
    dtypes: list[str], ndims: list[int], widths: list[int]
) -> st.SearchStrategy[ArrayArgument | None]:
    return st.one_of(
        st.none(),
        st.builds(
            ArrayArgument,
            mostly(
                numpy_arrays([np.dtype(dtypes[0])], ndims[:1], widths[:1], st.floats(0.0, 10.0)),
                numpy_arrays([np.dtype(t) for t in dtypes], ndims, widths, FLOAT_VALUES),
            ),
            ARRANGED,
            st.integers(0, 7),
        ),
    )


LAYOUT_CASES = st.builds(
    LayoutCase,
    mostly(
        st.builds(ArrayArgument, EDGE_ARRAYS, ARRANGED, st.integers(0, 7)),
        st.builds(ArrayArgument, ODD_EDGES),
    ),
    optional_arrays(["float64", "int64", "float32"], [1, 2], [1, 2]),
    optional_arrays(["float64", "float32", "int64"], [2, 1], [2, 3]),
    LAYOUT_KEYWORDS,
    st.one_of(
        st.none(),
        st.builds(Progress, st.sampled_from(["record", "raise", "junk"]), st.integers(1, 3)),
    ),
)


@settings(PROFILE, max_examples=examples(1000))
@given(LAYOUT_CASES)
def test_layout_returns_finite_positions_or_a_type_or_value_error(case: LayoutCase) -> None:
    trace(f"layout case: {case!r}")
    keywords = dict(case.keywords)
    keywords.setdefault("iterations", 2)
    if case.weights is not None:
        keywords["weights"] = case.weights.build()
    if case.pos is not None:
        keywords["pos"] = case.pos.build()
    if case.progress is not None:
        keywords["progress"] = case.progress.build()
    try:
        positions = layout(case.graph.build(), **keywords)
    except (TypeError, ValueError, MemoryError):
        return
    except HookError as error:
        assert case.progress is not None and error is case.progress.raised
        return
    assert positions.dtype == np.float64 and positions.ndim == 2 and positions.shape[1] == 2
    if isinstance(keywords.get("n_nodes"), int):
        assert positions.shape[0] == keywords["n_nodes"]
    assert np.isfinite(positions).all(), "layout() returned positions that are not finite"
