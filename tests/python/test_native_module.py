"""The module object, its initialisation, the internal-error class and NumPy's C API."""

from __future__ import annotations

import ctypes
import json
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from conftest import Layout
from tallow_forceatlas2 import _native


def test_module_attributes() -> None:
    assert _native.__doc__ == ""
    assert _native.__all__ == [
        "layout_raw",
        "layout_nodes",
        "hierarchy",
        "merge_groups",
    ]
    for name in _native.__all__:
        function = getattr(_native, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__name__ == name
    assert not hasattr(_native, "InternalError"), (
        "the internal-error class is not a module attribute"
    )


def test_layout_raw_docstring_and_signature() -> None:
    signature = "(n_nodes, edges, weights, init, iterations, threads, settings, progress)"
    assert _native.layout_raw.__text_signature__ == signature
    doc = _native.layout_raw.__doc__
    assert doc.startswith(
        "Runs a ForceAtlas2 layout and returns the final `(n, 2)` f64 positions.\n\n"
    )
    second_paragraph = doc.split("\n\n")[1]
    for promise in ["copied", "lock", "progress", "raises"]:
        assert promise in second_paragraph


def init_function() -> Any:
    init = ctypes.PyDLL(_native.__file__).PyInit__native
    init.restype = ctypes.py_object
    return init


def test_initialisation_returns_the_same_module_object() -> None:
    init = init_function()
    assert init() is _native
    assert init() is _native


def test_a_sub_interpreter_cannot_initialise_the_module(tmp_path: Path) -> None:
    testcapi = pytest.importorskip("_testcapi")
    outcome = tmp_path / "outcome.txt"
    code = f"""
        import ctypes
        init = ctypes.PyDLL({_native.__file__!r}).PyInit__native
        init.restype = ctypes.py_object
        try:
            init()
            text = "initialised"
        except ImportError as error:
            text = "ImportError: " + str(error)
        open({str(outcome)!r}, "w").write(text)
    """
    assert testcapi.run_in_subinterp(textwrap.dedent(code)) == 0
    assert outcome.read_text().startswith(
        "ImportError: tallow_forceatlas2._native can be initialised"
    )
    assert init_function()() is _native, "the main interpreter keeps its module"


def test_internal_error_class(internal_error: type[BaseException], call_layout: Layout) -> None:
    assert internal_error.__bases__ == (BaseException,)
    assert internal_error.__module__ == "tallow_forceatlas2._native"
    assert internal_error.__name__ == "InternalError"
    caught_by_exception = False
    with pytest.raises(internal_error) as info:
        try:
            call_layout(edges=np.zeros((1, 1), np.uint32))
        except Exception:  # noqa: BLE001 - the point: it must not catch this
            caught_by_exception = True
    assert not caught_by_exception
    assert info.value.args == ("index out of bounds: the len is 1 but the index is 1",)
    assert call_layout().shape == (12, 2), "the module stays usable"


@pytest.mark.parametrize(
    ("n_nodes", "error", "message"),
    [
        (2**57, MemoryError, None),
        (2**58, None, "^capacity overflow"),
        (2**64 - 1, None, "^capacity overflow"),
    ],
    ids=[
        "2**57 cannot be allocated",
        "2**58 cannot be addressed",
        "2**64-1 cannot be addressed",
    ],
)
def test_huge_node_counts_fail_cleanly(
    call_layout: Layout,
    internal_error: type[BaseException],
    n_nodes: int,
    error: Any,
    message: str | None,
) -> None:
    with pytest.raises(error or internal_error, match=message):
        call_layout(n_nodes=n_nodes)
    assert call_layout().shape == (12, 2)


# Each case replaces parts of NumPy in sys.modules before the module's first
# array check in a fresh interpreter; the last one restores NumPy.
CAPSULE_SCRIPT = """
import ctypes, json, sys, types
import numpy
from tallow_forceatlas2._native import layout_raw

def fake(name, **attributes):
    module = types.ModuleType(name)
    module.__dict__.update(attributes)
    return module

def named_capsule():
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.addressof(ctypes.c_int(0)), b"not_the_array_api", None)

def numpy2(**multiarray):
    return {"numpy": fake("numpy", __version__="2.1.0"),
            "numpy._core.multiarray": fake("numpy._core.multiarray", **multiarray)}

CASES = {
    "numpy missing": {"numpy": None},
    "no version": {"numpy": fake("numpy")},
    "version not a string": {"numpy": fake("numpy", __version__=2)},
    "version without a number": {"numpy": fake("numpy", __version__="dev")},
    "2.x without _core": {"numpy": fake("numpy", __version__="2.1.0")},
    "2.x without _ARRAY_API": numpy2(),
    "2.x _ARRAY_API not a capsule": numpy2(_ARRAY_API=5),
    "1.x _ARRAY_API not a capsule": {
        "numpy": fake("numpy", __version__="1.26.4"),
        "numpy.core.multiarray": fake("numpy.core.multiarray", _ARRAY_API=5),
    },
    "capsule with another name": numpy2(_ARRAY_API=named_capsule()),
}

def attempt():
    edges = numpy.zeros((0, 2), numpy.uint32)
    try:
        init = numpy.zeros((0, 2))
        return repr(layout_raw(0, edges, None, init, 0, 1, {}, None).shape)
    except BaseException as error:
        return type(error).__name__ + ": " + str(error)

outcomes = {}
real = {key: mod for key, mod in sys.modules.items() if key.split(".")[0] == "numpy"}
for name, replacements in CASES.items():
    for key in real:
        del sys.modules[key]
    sys.modules.update(replacements)
    outcomes[name] = attempt()
    for key in replacements:
        del sys.modules[key]
    sys.modules.update(real)
outcomes["numpy restored"] = attempt()
print(json.dumps(outcomes))
"""

PREFIX = "InternalError: Failed to access NumPy array API capsule: "
CAPSULE_OUTCOMES = {
    "numpy missing": PREFIX
    + "importing numpy failed (ModuleNotFoundError: import of numpy halted; "
    "None in sys.modules)",
    "no version": PREFIX
    + "reading numpy.__version__ failed (AttributeError: module 'numpy' has no "
    "attribute '__version__')",
    "version not a string": PREFIX + "numpy.__version__ is not a string",
    "version without a number": PREFIX
    + "numpy.__version__ 'dev' does not start with a major version number",
    "2.x without _core": PREFIX
    + "importing numpy._core.multiarray failed (ModuleNotFoundError: No module "
    "named 'numpy._core'; 'numpy' is not a package)",
    "2.x without _ARRAY_API": PREFIX
    + "reading numpy._core.multiarray._ARRAY_API failed (AttributeError: "
    "module 'numpy._core.multiarray' has no attribute '_ARRAY_API')",
    "2.x _ARRAY_API not a capsule": PREFIX + "numpy._core.multiarray._ARRAY_API is not a capsule",
    "1.x _ARRAY_API not a capsule": PREFIX + "numpy.core.multiarray._ARRAY_API is not a capsule",
    "capsule with another name": PREFIX + "reading the capsule's pointer failed (ValueError: "
    "PyCapsule_GetPointer called with incorrect name)",
    "numpy restored": "(0, 2)",
}


@pytest.fixture(scope="module")
def capsule_outcomes() -> dict[str, str]:
    result = subprocess.run(
        [sys.executable, "-c", CAPSULE_SCRIPT],
        capture_output=True,
        text=True,
        check=True,
    )
    return dict(json.loads(result.stdout))


@pytest.mark.parametrize("case", CAPSULE_OUTCOMES)
def test_numpy_api_failures_are_internal_errors_and_retried(
    capsule_outcomes: dict[str, str], case: str
) -> None:
    assert capsule_outcomes[case] == CAPSULE_OUTCOMES[case]
