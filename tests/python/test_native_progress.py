"""The run modes of layout_raw: progress callback, lock release, threads."""

from __future__ import annotations

import ctypes
import re
import sys
import threading
import time
import traceback
from typing import Any

import numpy as np
import pytest
from conftest import PARAMETERS, Layout, ring_graph
from tallow_forceatlas2._native import layout_raw

MODES = [
    {},
    {"barnesHutOptimize": True},
    {"linLogMode": True, "outboundAttractionDistribution": True},
]


def mode_id(settings: dict[str, Any]) -> str:
    return ",".join(settings) or "defaults"


class Recorder:
    """A progress callback that records its calls and can fail on one of them."""

    def __init__(
        self, fail_on: int = 0, error: BaseException | None = None, result: Any = None
    ) -> None:
        self.calls: list[tuple[Any, ...]] = []
        self.threads: set[int] = set()
        self.fail_on, self.error, self.result = fail_on, error, result

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        assert not kwargs
        self.calls.append(args)
        self.threads.add(threading.get_ident())
        if len(self.calls) == self.fail_on and self.error is not None:
            raise self.error
        return self.result


@pytest.mark.parametrize("settings", MODES, ids=mode_id)
@pytest.mark.parametrize("threads", [1, 4], ids=lambda t: f"threads={t}")
def test_callback_sees_every_iteration_and_changes_nothing(
    call_layout: Layout, threads: int, settings: dict[str, Any]
) -> None:
    progress = Recorder()
    with_progress = call_layout(iterations=3, threads=threads, settings=settings, progress=progress)
    assert progress.calls == [(1, 3), (2, 3), (3, 3)]
    assert all(type(value) is int for call in progress.calls for value in call)
    assert progress.threads == {threading.get_ident()}, "called on the calling thread"
    assert np.array_equal(
        with_progress, call_layout(iterations=3, threads=threads, settings=settings)
    )


@pytest.mark.parametrize("settings", MODES, ids=mode_id)
@pytest.mark.parametrize("threads", [0, 2, 3, 8], ids=lambda t: f"threads={t}")
@pytest.mark.parametrize("progress", [None, Recorder()], ids=["no callback", "callback"])
def test_every_thread_count_gives_the_same_bits(
    call_layout: Layout,
    threads: int,
    settings: dict[str, Any],
    progress: Recorder | None,
) -> None:
    expected = call_layout(iterations=7, threads=1, settings=settings)
    result = call_layout(iterations=7, threads=threads, settings=settings, progress=progress)
    assert np.array_equal(result, expected)


@pytest.mark.parametrize("progress", [Recorder(), 5], ids=["recorder", "not callable"])
def test_zero_iterations_call_nothing(call_layout: Layout, progress: Any) -> None:
    result = call_layout(iterations=0, progress=progress)
    assert np.array_equal(result, call_layout())
    assert not getattr(progress, "calls", [])


@pytest.mark.parametrize(
    "returned", [False, 0, "stop", object(), None], ids=lambda v: type(v).__name__
)
def test_what_the_callback_returns_is_ignored(call_layout: Layout, returned: Any) -> None:
    progress = Recorder(result=returned)
    assert np.array_equal(call_layout(iterations=4, progress=progress), call_layout(iterations=4))
    assert len(progress.calls) == 4


@pytest.mark.parametrize(
    "error",
    [ValueError("second call fails"), KeyboardInterrupt(), SystemExit(3)],
    ids=lambda e: type(e).__name__,
)
def test_a_raising_callback_ends_the_call_with_its_own_exception(
    call_layout: Layout, error: BaseException
) -> None:
    progress = Recorder(fail_on=2, error=error)
    with pytest.raises(type(error)) as info:
        call_layout(iterations=5, progress=progress)
    assert info.value is error
    assert progress.calls == [(1, 5), (2, 5)]


def test_the_exception_keeps_its_cause_context_and_traceback(
    call_layout: Layout,
) -> None:
    def progress(i: int, n: int) -> None:
        try:
            raise KeyError("context")
        except KeyError:
            raise ValueError("from the callback") from RuntimeError("cause")

    with pytest.raises(ValueError, match=r"^from the callback$") as info:
        call_layout(iterations=2, progress=progress)
    assert isinstance(info.value.__cause__, RuntimeError)
    assert isinstance(info.value.__context__, KeyError)
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert frames[-1] == "progress"


def test_a_callback_that_is_not_callable_fails_after_the_first_iteration(
    call_layout: Layout,
) -> None:
    message = "'int' object is not callable"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call_layout(iterations=3, progress=5)


def test_a_callback_may_call_layout_raw_itself(call_layout: Layout) -> None:
    inner = ring_graph(7) | {"iterations": 5}

    def inner_layout(progress: Any) -> np.ndarray:
        return layout_raw(*(inner[name] for name in PARAMETERS[:7]), progress)

    inner_results: list[np.ndarray] = []
    outer = call_layout(
        iterations=3,
        progress=lambda i, n: inner_results.append(inner_layout(Recorder())),
    )
    assert np.array_equal(outer, call_layout(iterations=3))
    standalone = inner_layout(None)
    assert len(inner_results) == 3
    assert all(np.array_equal(result, standalone) for result in inner_results)


def test_an_internal_error_inside_the_callback_becomes_a_new_one(
    call_layout: Layout,
    internal_error: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    def progress(i: int, n: int) -> None:
        call_layout(edges=np.array([[0, 40]], np.uint32))  # fails inside the kernel

    message = "index out of bounds: the len is 120 but the index is 406"
    with pytest.raises(internal_error, match=f"^{re.escape(message)}$"):
        call_layout(iterations=2, progress=progress)
    err = capsys.readouterr().err
    assert "resuming an internal error fetched from the interpreter" in err
    assert "in progress" in err, "the fetched exception is printed with its traceback"


def test_an_internal_error_raised_by_the_callback_is_not_passed_through(
    call_layout: Layout, internal_error: type[BaseException]
) -> None:
    original = internal_error("raised directly")
    with pytest.raises(internal_error, match=r"^raised directly$") as info:
        call_layout(iterations=2, progress=Recorder(fail_on=1, error=original))
    assert info.value is not original


def null_returning_callable() -> tuple[Any, Any]:
    """An object whose call slot returns NULL without setting an exception."""

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

    class TypeTemplate(ctypes.Structure):  # what PyType_FromSpec reads
        _fields_ = [
            ("name", ctypes.c_char_p),
            ("basicsize", ctypes.c_int),
            ("itemsize", ctypes.c_int),
            ("flags", ctypes.c_uint),
            ("slots", ctypes.POINTER(Slot)),
        ]

    tp_call = 50
    call = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
        lambda self, args, kwargs: None
    )
    slots = (Slot * 2)(Slot(tp_call, ctypes.cast(call, ctypes.c_void_p)), Slot(0, None))
    name = ctypes.create_string_buffer(b"test_native_progress.NullCall")
    template = TypeTemplate(ctypes.cast(name, ctypes.c_char_p), 0, 0, 0, slots)
    create_type = ctypes.pythonapi.PyType_FromSpec
    create_type.restype = ctypes.py_object
    create_type.argtypes = [ctypes.POINTER(TypeTemplate)]
    null_call = create_type(ctypes.byref(template))
    keep_alive = (call, slots, name, template, null_call)  # must outlive the instance
    return null_call(), keep_alive


KEEP_ALIVE: list[Any] = []


def test_a_callback_returning_null_without_an_exception_is_a_system_error(
    call_layout: Layout,
) -> None:
    # The interpreter itself turns such a result into a SystemError before the
    # module sees it; either way the call must end with SystemError, not crash.
    progress, alive = null_returning_callable()
    KEEP_ALIVE.append(alive)
    with pytest.raises(
        SystemError,
        match=r"returned NULL without setting an exception|"
        r"attempted to fetch exception but none was set",
    ):
        call_layout(iterations=2, progress=progress)
    assert call_layout(iterations=1).shape == (12, 2)


def long_graph() -> list[Any]:
    rng = np.random.default_rng(7)
    n_nodes = 2000
    edges = rng.integers(0, n_nodes, (4 * n_nodes, 2)).astype(np.uint32)
    return [
        n_nodes,
        edges,
        None,
        rng.uniform(-100.0, 100.0, (n_nodes, 2)),
        20,
        1,
        {},
        None,
    ]


def test_other_threads_run_while_the_layout_runs() -> None:
    ticks = 0
    stop = threading.Event()

    def spin() -> None:
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0)  # offers the lock back to the calling thread

    arguments = long_graph()
    layout_raw(
        *arguments[:4], 0, *arguments[5:]
    )  # NumPy's table is loaded outside the measured call
    # No forced hand-over between bytecodes: the spinning thread can only run
    # while the calling thread blocks, that is inside the lock-released block.
    previous = sys.getswitchinterval()
    thread = threading.Thread(target=spin)
    try:
        sys.setswitchinterval(1000.0)
        thread.start()
        while ticks == 0:
            time.sleep(0.001)
        before = ticks
        layout_raw(*arguments)
        during = ticks - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(previous)
    # Thousands of turns while the kernel runs; holding the lock would allow none
    # (or a stray one at the edges of the call).
    assert during > 100
