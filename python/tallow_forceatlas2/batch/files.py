"""Every graph file of a directory laid out, one positions file per input.

Files are read one by one as the batch needs them and each result is written
as soon as it arrives, so a directory of any size never sits whole in memory.
Node labels never leave this process: the arrays go to the threads or the
cluster, the labels wait here for the positions to come back.
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.batch.many import check_shared_options, run_batch
from tallow_forceatlas2.batch.outcome import BatchError, Outcome
from tallow_forceatlas2.batch.shipping import ship
from tallow_forceatlas2.batch.tally import BatchProgress, graph_counter
from tallow_forceatlas2.io.readers import GRAPH_FORMATS, InputError, read_graph
from tallow_forceatlas2.io.writers import POSITION_FORMATS, write_positions
from tallow_forceatlas2.prepare import PreparedLayout
from tallow_forceatlas2.settings import SETTINGS

__all__ = ["GRAPH_SUFFIXES", "batch_command", "graph_files", "layout_directory"]

# What counts as a graph file in a directory; anything else (notes, pictures,
# earlier outputs) is left alone.
GRAPH_SUFFIXES = (".csv", ".tsv", ".tab", ".txt", ".edges", ".edgelist", *GRAPH_FORMATS)
# Command-line options that describe one graph, refused with --batch.
SINGLE_GRAPH_OPTIONS = (
    "graph",
    "demo",
    "communities",
    "community_attribute",
    "nodes",
    "pos",
    "fix_pos",
)
EXIT_SOME_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130

Result = NDArray[np.float64]


def graph_files(directory: Path) -> list[Path]:
    """Return the graph files of ``directory`` in name order.

    Raises
    ------
    InputError
        When ``directory`` is not a directory, holds no graph file, or holds
        two graph files that would write the same output (same stem).
    """
    if not directory.is_dir():
        raise InputError(directory, None, "is not a directory (--batch takes a directory)")
    files = sorted(
        path
        for path in directory.iterdir()
        if path.is_file() and path.suffix.lower() in GRAPH_SUFFIXES and path.name[0] != "."
    )
    if not files:
        raise InputError(directory, None, f"holds no graph file ({', '.join(GRAPH_SUFFIXES)})")
    stems: dict[str, Path] = {}
    for path in files:
        if path.stem in stems:
            raise InputError(
                directory,
                None,
                f"{stems[path.stem].name} and {path.name} would write the same output; "
                "rename one of them",
            )
        stems[path.stem] = path
    return files


def layout_directory(
    directory: Path,
    output_dir: Path,
    *,
    output_format: str = ".csv",
    scheduler: str | None = None,
    delimiter: str | None = None,
    header: bool | None = None,
    weight: str | None = "weight",
    threads: int | None = None,
    progress: BatchProgress = False,
    **settings: Any,
) -> list[Path]:
    """Lay out every graph file of ``directory``; write one positions file per input.

    Parameters
    ----------
    directory : Path
        Holds the graphs: edge lists (``.csv``, ``.tsv``, ``.tab``, ``.txt``,
        ``.edges``, ``.edgelist``) and ``.graphml``, ``.gexf``, ``.gml`` files.
    output_dir : Path
        Where ``<input stem><output_format>`` is written for each input;
        created when missing.
    output_format : str, default ".csv"
        ``.csv``, ``.npy`` or ``.json``.
    scheduler : str, optional
        Address of a Dask scheduler to run on; default: threads of this process.
    delimiter, header, weight
        How to read the files, as for ``tallow-fa2``.
    threads, progress, **settings
        As for :func:`tallow_forceatlas2.batch.layout_many`.

    Returns
    -------
    list of Path
        The files written, in input order.

    Raises
    ------
    InputError
        When the directory holds no graph file, before any work.
    TypeError, ValueError
        For a mistake in the settings or the output format, before any work.
    BatchError
        When some files could not be read, laid out or written; the others'
        outputs are written. Its ``.results`` holds the written paths (None
        for failures) and its message names the files.
    """
    if output_format not in POSITION_FORMATS:
        raise ValueError(f"output_format must be one of {', '.join(POSITION_FORMATS)}")
    check_shared_options(settings)
    files = graph_files(directory)
    output_dir.mkdir(parents=True, exist_ok=True)
    outputs = [output_dir / (path.stem + output_format) for path in files]
    labels: dict[int, list[str]] = {}

    def items() -> Iterator[tuple[int, PreparedLayout | BaseException]]:
        for position, path in enumerate(files):
            try:
                graph = read_graph(path, delimiter=delimiter, header=header, weight=weight)
                options = {"n_nodes": len(graph.nodes), "weights": graph.weights, **settings}
                prepared = ship(graph.edges, options)
            except Exception as error:  # noqa: BLE001 - reported by file name; the batch goes on
                yield position, error
                continue
            labels[position] = graph.nodes
            yield position, prepared

    outcome: Outcome[Path] = Outcome()
    outcome.reserve(len(files) - 1)
    with graph_counter(progress, len(files)) as advance:

        def on_done(position: int, result: Result | BaseException) -> None:
            nodes = labels.pop(position, [])
            if isinstance(result, BaseException):
                outcome.record(position, result)
            else:
                outcome.record(position, _write(outputs[position], nodes, result))
            advance()

        with _DaskClient(scheduler) as client:
            run_batch(items(), client=client, threads=threads, on_done=on_done)
    return outcome.results([path.name for path in files])


def _write(path: Path, nodes: list[str], positions: Result) -> Path | OSError:
    try:
        write_positions(path, nodes, positions)
    except OSError as error:
        return error
    return path


class _DaskClient:
    """A Dask client for ``address`` while the batch runs, or None for threads."""

    def __init__(self, address: str | None) -> None:
        self.address = address
        self.client: Any = None

    def __enter__(self) -> Any:
        if self.address is None:
            return None
        if importlib.util.find_spec("distributed") is None:
            raise ModuleNotFoundError(
                "--scheduler needs Dask: pip install 'tallow_forceatlas2[batch]'"
            )
        distributed: Any = importlib.import_module("distributed")
        self.client = distributed.Client(self.address)
        return self.client

    def __exit__(self, *exc: object) -> None:
        if self.client is not None:
            self.client.close()


def _batch_options(args: argparse.Namespace) -> dict[str, Any]:
    """The layout options of the command line that apply to every graph."""
    options: dict[str, Any] = {"iterations": args.iterations, "seed": args.seed}
    if getattr(args, "tol", None) is not None:
        options["tol"] = args.tol
    for setting in SETTINGS:
        if getattr(args, setting.name) is not None:
            options[setting.name] = getattr(args, setting.name)
    return options


def _one_graph_option(args: argparse.Namespace) -> str | None:
    """The first given option that only makes sense for a single graph."""
    for name in SINGLE_GRAPH_OPTIONS:
        if getattr(args, name, None):
            return "a graph file" if name == "graph" else "--" + name.replace("_", "-")
    return None


def batch_command(args: argparse.Namespace, prog: str = "tallow-fa2") -> int:
    """Run ``tallow-fa2 --batch DIR -o OUTDIR``: the command line's batch mode.

    Reads from ``args``: ``batch`` (DIR), ``output`` (one directory),
    ``output_format`` (default .csv), ``scheduler`` (default None) and ``tol`` when
    present, ``delimiter``, ``header``, ``weight``, ``no_weights``,
    ``iterations``, ``threads``, ``seed``, ``progress`` and every setting.

    Returns
    -------
    int
        0 when every graph was laid out; 1 when some failed (each named on
        standard error, the others written); 2 for bad input before any work;
        130 when interrupted.
    """
    single = _one_graph_option(args)
    if single is not None or len(args.output) != 1:
        problem = f"{single} is for one graph" if single else "it needs exactly one -o OUTDIR"
        print(f"{prog}: error: --batch DIR: {problem}", file=sys.stderr)
        return EXIT_BAD_INPUT
    progress = args.progress
    if progress is None:
        progress = sys.stderr.isatty() and importlib.util.find_spec("tqdm") is not None
    try:
        written = layout_directory(
            args.batch,
            args.output[0],
            output_format=getattr(args, "output_format", ".csv"),
            scheduler=getattr(args, "scheduler", None),
            delimiter=args.delimiter,
            header=args.header,
            weight=None if args.no_weights else args.weight,
            threads=args.threads,
            progress=progress,
            **_batch_options(args),
        )
    except BatchError as error:
        assert error.labels is not None
        for position, failure in error.failures.items():
            print(f"{prog}: error: {error.labels[position]}: {failure}", file=sys.stderr)
        done = len(error.results) - len(error.failures)
        print(f"{prog}: {done} of {len(error.results)} graphs written", file=sys.stderr)
        return EXIT_SOME_FAILED
    except (InputError, TypeError, ValueError, ModuleNotFoundError, OSError) as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    print(f"{prog}: {len(written)} graphs written to {args.output[0]}", file=sys.stderr)
    return 0
