"""Hostile callers: hooks that mutate checked arrays, refused threads, no memory for results."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from tallow_forceatlas2._native import layout_nodes, layout_raw

LAYOUTS = [layout_raw, layout_nodes]
SETTINGS = {"barnesHutOptimize": True}
M = 400


def arrays() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(5)
    edges = rng.integers(0, 50, size=(M, 2)).astype(np.uint32)
    return {"edges": edges, "weights": rng.uniform(0.5, 2.0, M), "init": rng.normal(size=(50, 2))}


# Each mutation runs inside an __index__ hook, after the arrays were checked.
MUTATIONS: dict[str, Callable[[dict[str, np.ndarray]], None]] = {
    "edges resized larger": lambda a: a["edges"].resize((100_000, 2), refcheck=False),
    "edges resized smaller": lambda a: a["edges"].resize((1, 2), refcheck=False),
    "init resized smaller": lambda a: a["init"].resize((1, 2), refcheck=False),
    "edges flattened": lambda a: setattr(a["edges"], "shape", (2 * M,)),
    "weights re-viewed as float32": lambda a: setattr(a["weights"], "dtype", np.float32),
    "init re-viewed as uint8": lambda a: setattr(a["init"], "dtype", np.uint8),
    "weights resized to one": lambda a: a["weights"].resize((1,), refcheck=False),
}


class MutatingIndex:
    """An integer whose conversion mutates the caller's arrays first."""

    def __init__(self, value: int, mutate: Callable[[], None]) -> None:
        self.value, self.mutate = value, mutate

    def __index__(self) -> int:
        self.mutate()
        return self.value


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # NumPy 2.5 deprecates shape/dtype sets
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("hooked", ["iterations", "threads"])
@pytest.mark.parametrize("mutation", MUTATIONS, ids=str)
def test_a_hook_that_mutates_checked_arrays_changes_nothing(
    layout: Callable[..., np.ndarray], hooked: str, mutation: str
) -> None:
    untouched = arrays()
    expected = layout(50, *untouched.values(), 3, 2, SETTINGS, None)
    victims = arrays()
    counts: dict[str, Any] = {"iterations": 3, "threads": 2}
    counts[hooked] = MutatingIndex(counts[hooked], lambda: MUTATIONS[mutation](victims))
    result = layout(
        50, victims["edges"], victims["weights"], victims["init"], *counts.values(), SETTINGS, None
    )
    assert np.array_equal(result, expected)


def run_child(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
    )


# Thread stacks take address space: under a cap, the system refuses threads
# long before a thousand have started.
REFUSED_THREADS = """
    import resource, numpy as np
    from tallow_forceatlas2._native import layout_nodes, layout_raw
    rng = np.random.default_rng(0)
    edges = rng.integers(0, 3000, size=(9000, 2)).astype(np.uint32)
    init = rng.normal(size=(3000, 2)) * 50
    settings = {{"barnesHutOptimize": True}}
    alone = layout_raw(3000, edges, None, init, 5, 1, settings, None)
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    crowd = {layout}(3000, edges, None, init, 5, 5000, settings, None)
    print("same" if np.array_equal(alone, crowd) else "different")
"""

ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(sys.platform != "linux" or ASAN, reason="address-space caps on Linux")
def test_layout_nodes_runs_with_the_threads_that_did_start() -> None:
    child = run_child(REFUSED_THREADS.format(layout="layout_nodes"))
    assert (child.returncode, child.stdout.strip()) == (0, "same"), child.stderr


@pytest.mark.skipif(sys.platform != "linux" or ASAN, reason="address-space caps on Linux")
def test_layout_raw_still_reports_a_pool_it_cannot_build() -> None:
    child = run_child(REFUSED_THREADS.format(layout="layout_raw"))
    assert child.returncode != 0
    assert "building the worker pool failed" in child.stderr


# The node matrix (40 bytes a node) fits under the cap, the result (16 more) does not.
NO_MEMORY_FOR_RESULT = """
    import resource
    import numpy as np
    from tallow_forceatlas2._native import {layout}
    n = 40_000_000
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    cap = used + 40 * n + (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    edges, init = np.zeros((0, 2), np.uint32), np.zeros((0, 2))
    try:
        {layout}(n, edges, None, init, 0, 1, {{}}, None)
    except MemoryError:
        print("MemoryError")
"""


@pytest.mark.skipif(sys.platform != "linux" or ASAN, reason="address-space caps on Linux")
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
def test_no_memory_for_the_result_is_a_memory_error(layout: Callable[..., np.ndarray]) -> None:
    child = run_child(NO_MEMORY_FOR_RESULT.format(layout=layout.__name__))
    assert (child.returncode, child.stdout.strip()) == (0, "MemoryError"), child.stderr
