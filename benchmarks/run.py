"""Benchmark of the layout kernel; prints one aligned table.

Seeded planted-partition graphs (average degree 10) of 1,000 to 1,000,000
nodes. For each size: milliseconds per iteration of ``layout_raw`` with
Barnes-Hut (theta 0.5 and 1.2) and, up to 10,000 nodes, exact repulsion, with
its speed-up over the first thread count (the counts take turns, best of
three each), and apart from it the time of a call of one iteration (the
call's set-up and first iteration, which carry one-off costs); the share of
each phase of the step (from the ``phase_bench`` program, built here);
the peak resident memory a call adds to the process against the buffers the
design holds; and ``networkx.forceatlas2_layout`` for the same iteration count
(up to 5,000 nodes), as a ratio measured in the same run. Each measurement
runs in a fresh subprocess so that its peak memory is its own.

usage: python benchmarks/run.py [--sizes 1000,10000] [--threads 1,2] [--quick] [--build-dir DIR]
Needs the package installed (pip install .) and CMake for phase_bench.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
AVERAGE_DEGREE = 10
NETWORKX_LIMIT = 5_000
EXACT_LIMIT = 10_000


def planted_partition(n: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """Edges of a planted-partition graph and random start positions."""
    rng = np.random.default_rng(seed)
    communities = max(2, round(n**0.5 / 4))
    membership = rng.integers(0, communities, n)
    order = np.argsort(membership, kind="stable")
    starts = np.searchsorted(membership[order], np.arange(communities + 1))
    m = n * AVERAGE_DEGREE // 2
    sources = rng.integers(0, n, m)
    inside = rng.random(m) < 0.9
    own = membership[sources]
    offsets = (rng.random(m) * (starts[own + 1] - starts[own])).astype(np.int64)
    targets = np.where(inside, order[starts[own] + offsets], rng.integers(0, n, m))
    edges = np.stack([sources, targets], axis=1).astype(np.uint32)
    init = rng.normal(0.0, 10.0 * n**0.5, (n, 2))
    return edges, init


def iterations_for(n: int) -> int:
    # 10,000 and 100,000 nodes run the same iterations, so that their times per
    # iteration compare like with like (the cost of an iteration changes as the
    # layout forms).
    return 40 if n <= 1_000 else 20 if n <= 5_000 else 10 if n <= 100_000 else 3


# ---- measurements, each run in its own subprocess -------------------------


def _peak_reset() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def _status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def measure_native(case: dict) -> dict:
    from tallow_forceatlas2._native import layout_raw

    edges, init = planted_partition(case["n"])
    settings = {
        "barnesHutOptimize": case["theta"] is not None,
        "barnesHutTheta": case["theta"] or 0.5,
    }
    progress = (lambda i, total: None) if case.get("progress") else None
    # The first call shows the memory a call adds to the process; the second,
    # with every page of the process already faulted in, the time.
    before = _status_kib("VmRSS")
    _peak_reset()
    layout_raw(case["n"], edges, None, init, 1, case["threads"], settings, progress)
    peak_added = _status_kib("VmHWM") - before

    def call_seconds(iterations: int) -> float:
        start = time.perf_counter()
        layout_raw(case["n"], edges, None, init, iterations, case["threads"], settings, progress)
        return time.perf_counter() - start

    # A call's set-up and first iteration carry one-off costs (copies, the
    # first tree's memory, attraction's edge lists), so they are timed apart
    # from the iterations that follow.
    first = call_seconds(1)
    seconds = call_seconds(1 + case["iterations"])
    return {"seconds": seconds, "first_seconds": first, "peak_added_kib": peak_added}


def measure_networkx(case: dict) -> dict:
    import networkx as nx

    edges, init = planted_partition(case["n"])
    graph = nx.Graph()
    graph.add_nodes_from(range(case["n"]))
    graph.add_edges_from(edges.tolist())
    pos = {i: init[i] for i in range(case["n"])}
    start = time.perf_counter()
    nx.forceatlas2_layout(graph, pos=pos, max_iter=case["iterations"])
    return {"seconds": time.perf_counter() - start}


REPEATS = 3  # timings on a shared machine swing; each figure is the best of these


def measure_once(kind: str, case: dict) -> dict:
    """One measurement in a fresh process."""
    env = dict(os.environ)
    if kind == "native":
        # NumPy's OpenBLAS threads spin for a while after the import and held
        # a core from the workers: a small graph's two-thread call then waited
        # a whole scheduler tick (4 ms) now and then. The kernel uses no BLAS.
        env["OPENBLAS_NUM_THREADS"] = "1"
    out = subprocess.run(
        [sys.executable, __file__, "--measure", kind, json.dumps(case)],
        capture_output=True,
        text=True,
        check=False,
        env=env,
    )
    if out.returncode != 0:
        raise SystemExit(f"measuring {kind} {case} failed:\n{out.stderr}")
    return json.loads(out.stdout)


def run_case(kind: str, **case) -> dict:
    """The fastest of REPEATS runs, each in a fresh process."""
    runs = [measure_once(kind, case) for _ in range(1 if kind == "networkx" else REPEATS)]
    return min(runs, key=lambda r: r["seconds"])


def native_by_threads(threads_list: list[int], **case) -> dict[int, dict]:
    """The fastest of REPEATS native runs for each thread count, the counts
    taking turns, so that a disturbance of the machine meets them alike."""
    runs: dict[int, list[dict]] = {threads: [] for threads in threads_list}
    for _ in range(REPEATS):
        for threads in threads_list:
            runs[threads].append(measure_once("native", {**case, "threads": threads}))
    return {threads: fastest_native(found) for threads, found in runs.items()}


def iteration_seconds(native: dict, iterations: int) -> float:
    """An iteration's time: the longer call less the one-iteration call."""
    return (native["seconds"] - native["first_seconds"]) / iterations


def fastest_native(runs: list[dict]) -> dict:
    """The fastest first call and the fastest longer call, each of its own run."""
    best = min(runs, key=lambda r: r["seconds"])
    return {**best, "first_seconds": min(r["first_seconds"] for r in runs)}


# ---- phases, from the C++ program -----------------------------------------


def build_phase_bench(build: Path) -> Path:
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-DTALLOW_BUILD_BENCHMARKS=ON",
            "-DCMAKE_BUILD_TYPE=Release",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        ["cmake", "--build", str(build), "-j2", "--target", "phase_bench"],
        check=True,
        capture_output=True,
    )
    return build / "benchmarks" / "phase_bench"


PHASES = ("prepare", "tree", "repulsion", "gravity", "attraction", "apply")


def phase_times(
    program: Path, n: int, iterations: int, threads_list: list[int], theta: float | None
) -> dict[int, dict]:
    """Seconds per phase over the iterations for each thread count, from the
    fastest of REPEATS runs. The thread counts take turns, so that a
    disturbance of the machine meets them alike."""
    edges, init = planted_partition(n)
    runs: dict[int, list[dict]] = {threads: [] for threads in threads_list}
    with tempfile.NamedTemporaryFile(suffix=".graph") as f:
        f.write(np.array([n, len(edges)], dtype=np.uint64).tobytes())
        f.write(np.ascontiguousarray(edges).tobytes())
        f.write(np.ascontiguousarray(init).tobytes())
        f.flush()
        for _ in range(REPEATS):
            for threads in threads_list:
                out = subprocess.run(
                    [
                        str(program),
                        f.name,
                        str(iterations),
                        str(threads),
                        str(-1.0 if theta is None else theta),
                    ],
                    check=True,
                    capture_output=True,
                    text=True,
                )
                runs[threads].append(json.loads(out.stdout))
    return {
        threads: min(found, key=lambda r: sum(r[k] for k in PHASES))
        for threads, found in runs.items()
    }


def design_bytes(n: int, m: int, regions: int) -> int:
    """Bytes of the buffers the design lists for one call: argument copies,
    node matrix, node snapshot (an f64 copy of all ten slots), region matrix,
    edge matrix and result."""
    return (8 * m + 16 * n) + 40 * n + 80 * n + 72 * regions + 12 * m + 16 * n


def held_bytes(n: int, m: int, regions: int, walk_records: int, edge_list_slots: int) -> int:
    """Bytes of the buffers this implementation holds: argument copies, node
    matrix, edge matrix, region matrix, walk tree (36 bytes a record, skip included) with its
    scratch (12 bytes a region), walk order with its leaf flags (5 bytes a node), from
    262,144 nodes attraction's packed slots (16 bytes a node) or, on the pool, its edge lists
    (4 bytes a slot, 28.5 bytes a node for the order, places, degrees, groups, positions
    and forces; the edge matrix then goes), and
    result; no snapshot. From 32,768 nodes the Barnes-Hut regions are held cell by cell
    instead of whole, and each node's arrival at its cell takes 8 bytes, its route there 2 and
    its packed x, y and mass in the cell 12."""
    arrivals = 22 * n if regions > 0 and n >= 32_768 else 0
    packed = 16 * n if n >= 1 << 18 else 0
    edge_matrix = 12 * m
    if edge_list_slots > 0:
        packed = 4 * edge_list_slots + 57 * n // 2
        edge_matrix = 0  # the call lets it go once the lists are made
    return (
        (8 * m + 16 * n)
        + 40 * n
        + edge_matrix
        + 72 * regions
        + 36 * walk_records
        + 12 * regions
        + 5 * n
        + 16 * n
        + packed
        + arrivals
    )


# ---- the table ------------------------------------------------------------

COLUMNS = [
    "nodes",
    "edges",
    "mode",
    "thr",
    "ms/iter",
    "speedup",
    "first ms",
    "rep ms",
    "tree%",
    "rep%",
    "grav%",
    "attr%",
    "apply%",
    "peakMB",
    "designMB",
    "peak/des",
    "heldMB",
    "peak/held",
    "nx ms/iter",
    "nx/this",
]


def print_row(values: list) -> None:
    widths = [9, 9, 7, 3, 9, 7, 9, 8, 6, 6, 6, 6, 6, 8, 8, 8, 8, 9, 10, 8]
    print("  ".join(str(v).rjust(w) for v, w in zip(values, widths)), flush=True)


def bench_size(program: Path, n: int, threads_list: list[int], quick: bool) -> None:
    iterations = iterations_for(n)
    m = n * AVERAGE_DEGREE // 2
    nx_ms = None
    if n <= NETWORKX_LIMIT and not quick:
        nx_ms = run_case("networkx", n=n, iterations=iterations)["seconds"] * 1e3 / iterations
    modes = [("BH 0.5", 0.5), ("BH 1.2", 1.2)] + ([("exact", None)] if n <= EXACT_LIMIT else [])
    for label, theta in modes:
        phases_by_threads = phase_times(program, n, iterations, threads_list, theta)
        native_by = native_by_threads(threads_list, n=n, iterations=iterations, theta=theta)

        base_seconds = iteration_seconds(native_by[threads_list[0]], iterations)
        for threads in threads_list:
            native = native_by[threads]
            ms = iteration_seconds(native, iterations) * 1e3
            whole_call_ms = native["seconds"] * 1e3 / (1 + iterations)
            phases = phases_by_threads[threads]
            total = sum(phases[k] for k in PHASES)

            def share(phase: str, phases: dict = phases, total: float = total) -> str:
                return f"{100 * phases[phase] / total:.0f}"

            regions = phases["regions"] if theta is not None else 0
            design = design_bytes(n, m, regions)
            held = held_bytes(
                n,
                m,
                regions,
                phases["walk_records"] if theta is not None else 0,
                phases["edge_list_slots"],
            )
            peak = native["peak_added_kib"] * 1024
            print_row(
                [
                    n,
                    m,
                    label,
                    threads,
                    f"{ms:.2f}",
                    f"{base_seconds * 1e3 / ms:.2f}",
                    f"{native['first_seconds'] * 1e3:.2f}",
                    f"{1e3 * phases['repulsion'] / iterations:.2f}",
                    share("tree"),
                    share("repulsion"),
                    share("gravity"),
                    share("attraction"),
                    share("apply"),
                    f"{peak / 2**20:.1f}",
                    f"{design / 2**20:.1f}",
                    f"{peak / design:.2f}",
                    f"{held / 2**20:.1f}",
                    f"{peak / held:.2f}",
                    "" if nx_ms is None else f"{nx_ms:.1f}",
                    # networkx's time includes its set-up: so does this one.
                    "" if nx_ms is None else f"{nx_ms / whole_call_ms:.1f}",
                ]
            )


def bench_progress_cost(n: int = 10_000, iterations: int = 100, pairs: int = 5) -> None:
    """Per-iteration cost of the progress-callback mode. The two modes run
    alternately, so that a disturbance of the machine meets both alike."""
    case = {"n": n, "iterations": iterations, "threads": 1, "theta": 1.2}
    plain, with_cb = [], []
    for _ in range(pairs):
        plain.append(iteration_seconds(measure_once("native", case), iterations))
        with_cb.append(
            iteration_seconds(measure_once("native", {**case, "progress": True}), iterations)
        )
    best_plain, best_cb = min(plain), min(with_cb)
    print(
        f"\nprogress callback, {n} nodes, threads 1, BH 1.2, best of {pairs} alternating runs: "
        f"{1e3 * best_plain:.2f} ms/iter without, "
        f"{1e3 * best_cb:.2f} ms/iter with ({100 * (best_cb / best_plain - 1):+.1f}%)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sizes", default="1000,5000,10000,100000,1000000", help="node counts, comma separated"
    )
    parser.add_argument("--threads", default="1,2", help="thread counts, comma separated")
    parser.add_argument(
        "--quick", action="store_true", help="skip networkx and the progress measurement"
    )
    parser.add_argument(
        "--build-dir",
        type=Path,
        default=ROOT / "build" / "bench",
        help="where phase_bench is built (default build/bench)",
    )
    parser.add_argument("--measure", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        kind, case = args.measure
        print(
            json.dumps((measure_native if kind == "native" else measure_networkx)(json.loads(case)))
        )
        return
    program = build_phase_bench(args.build_dir)
    print(
        f"cores: {os.cpu_count()}; iterations per size: "
        + ", ".join(f"{n}: {iterations_for(n)}" for n in map(int, args.sizes.split(",")))
    )
    print_row(COLUMNS)
    for n in map(int, args.sizes.split(",")):
        bench_size(program, n, [int(t) for t in args.threads.split(",")], args.quick)
    if not args.quick:
        bench_progress_cost()


if __name__ == "__main__":
    main()
