"""Ctrl-C ends a long layout: SIGINT sent to a subprocess in the middle of a run."""

from __future__ import annotations

import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

# A layout that would run for hours: it can only end by being interrupted.
CHILD = """
import sys, numpy as np
from tallow_forceatlas2 import layout
edges = np.random.default_rng(0).integers(0, 3000, size=(9000, 2))
print("ready", flush=True)
try:
    layout(edges, iterations=4_000_000_000, progress={progress}, barnes_hut=True, threads={threads})
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(3)
print("finished", flush=True)
"""

# Generous: ending takes about one iteration, but CI machines may be slow.
DEADLINE_SECONDS = 120


def interrupt(code: str) -> subprocess.CompletedProcess[str]:
    child = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "ready"
    time.sleep(1.0)  # well inside the kernel by now
    child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=DEADLINE_SECONDS)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the layout did not stop after SIGINT")
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


@pytest.mark.parametrize(
    "progress",
    ["False", "True", "lambda done, total: None"],
    ids=["no-progress", "bar", "callable"],
)
@pytest.mark.parametrize("threads", [1, 2], ids=lambda t: f"threads={t}")
def test_sigint_raises_keyboard_interrupt(progress: str, threads: int) -> None:
    result = interrupt(CHILD.format(progress=progress, threads=threads))
    assert result.stdout.strip() == "interrupted", result.stderr[-2000:]
    assert result.returncode == 3


def test_sigint_ends_the_command_line_with_status_130(
    tmp_path: pytest.TempPathFactory,
) -> None:
    code = (
        "import sys\nfrom tallow_forceatlas2.cli import main\nprint('ready', flush=True)\n"
        "sys.exit(main(['--demo', '--iterations', '4000000000', '--no-progress', '-o', "
        f"{str(tmp_path)!r} + '/out.csv']))\n"
    )
    result = interrupt(code)
    assert result.returncode == 130
    assert result.stderr.strip().splitlines() == ["tallow-fa2: interrupted"]
