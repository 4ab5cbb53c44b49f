"""The ``tallow-fa2`` command: lay out a graph file, write positions and pictures.

Bad input (a missing file, a malformed line, an unknown option, a bad value,
an output in a missing directory, a graph too large for memory, a layout that
diverged) ends the command with one line on standard error and exit status 2,
before the layout starts wherever it can be found then; an output that cannot
be written all the same with status 1; Ctrl-C with status 130; a closed
standard output (``| head``) quietly with status 141, as for SIGPIPE.
Messages name command-line options (``--scaling-ratio``), not the Python
keywords underneath.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import re
import shutil
import sys
import tempfile
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from tallow_forceatlas2.api import MAX_THREADS, PICTURES, layout
from tallow_forceatlas2.draw.html import HTML_FORMATS
from tallow_forceatlas2.draw.plot import LABELS_UP_TO, PICTURE_FORMATS, save_picture
from tallow_forceatlas2.echo import echo
from tallow_forceatlas2.inputs import GraphArrays
from tallow_forceatlas2.io.file_checks import input_overwritten_by
from tallow_forceatlas2.io.readers import (
    EdgeList,
    InputError,
    read_communities,
    read_graph,
)
from tallow_forceatlas2.io.writers import (
    POSITION_FORMATS,
    write_positions,
    write_positions_csv,
)
from tallow_forceatlas2.limits import MAX_NODE_MASS, MAX_POWERED_WEIGHT
from tallow_forceatlas2.node_table import NodeTable, read_node_table
from tallow_forceatlas2.settings import SETTINGS, kernel_settings, range_text
from tallow_forceatlas2.start_positions import read_start_positions

GRAPH_OUTPUT_FORMATS = (".gexf", ".graphml")
OUTPUT_FORMATS = POSITION_FORMATS + GRAPH_OUTPUT_FORMATS + PICTURE_FORMATS + HTML_FORMATS
INPUT_FORMATS = ("csv", "tsv", "txt", "graphml", "gexf", "gml", "net", "adjlist")

__all__ = ["build_parser", "main"]

PROG = "tallow-fa2"
EXIT_BAD_INPUT = 2
EXIT_OUTPUT_FAILED = 1
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 128 + 13  # what a shell reports for a process ended by SIGPIPE


class UsageError(Exception):
    """A mistake on the command line or in an input file: exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {PROG} --help)")


def _package_version() -> str:
    from tallow_forceatlas2 import __version__

    return __version__


def _size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels, not {text!r}") from None
    return width, height


_DELIMITER_WORDS = {"\\t": "\t", "tab": "\t", "comma": ",", "space": " ", "semicolon": ";"}


def _delimiter(text: str) -> str:
    if text.lower() in _DELIMITER_WORDS:
        return _DELIMITER_WORDS[text.lower()]
    if len(text) != 1 or text in '\r\n"':
        raise argparse.ArgumentTypeError(f"expected one character, '\\t' or 'tab', not {text!r}")
    return text


def _add_input_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("input")
    group.add_argument(
        "graph",
        nargs="?",
        type=Path,
        help=(
            "edge list (.csv, .tsv or whitespace separated: source target [weight], "
            "'#' comments; networkx's write_edgelist lines 'u v {...}' too) or a "
            ".graphml/.gexf/.gml/.net (Pajek)/.adjlist file, each maybe compressed "
            "(.gz, .bz2, .xz); '-' reads standard input"
        ),
    )
    group.add_argument(
        "--format",
        choices=INPUT_FORMATS,
        help="format of the graph, for standard input or a file whose extension does not "
        "say (default: from the extension; csv for standard input)",
    )
    group.add_argument(
        "--demo",
        action="store_true",
        help="lay out a built-in graph of 3,130 nodes in 12 communities",
    )
    group.add_argument(
        "--delimiter",
        type=_delimiter,
        help="field separator of an edge list: one character, '\\t' or 'tab' "
        "(default: ',' for .csv, tab for .tsv, else whitespace, unless the first line "
        "shows tab, ';' or '|' instead)",
    )
    group.add_argument(
        "--header",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="whether the first line is a header (default: guessed)",
    )
    group.add_argument(
        "--weight",
        default="weight",
        metavar="ATTR",
        help="edge attribute holding weights in graph files (default: weight)",
    )
    group.add_argument("--no-weights", action="store_true", help="ignore edge weights")
    group.add_argument(
        "--communities",
        type=Path,
        metavar="FILE",
        help="'node community' table used to colour the picture",
    )
    group.add_argument(
        "--community-attribute",
        metavar="ATTR",
        help="node attribute holding the community in graph files",
    )
    group.add_argument(
        "--nodes",
        type=Path,
        metavar="FILE",
        help="node table (.csv/.tsv): a header, the node id first, then any of size, mass, "
        "x, y, fixed; sizes turn on --prevent-overlap and are drawn to scale",
    )
    group.add_argument(
        "--pos",
        type=Path,
        metavar="FILE",
        help="start positions as a node,x,y table (e.g. an earlier run's output) or a "
        ".gexf/.graphml/.gml file holding them (GEXF viz:position, GraphML x and y; the "
        "graph file itself continues its layout, e.g. one saved from Gephi); nodes "
        "left out start beside their placed neighbours",
    )
    group.add_argument(
        "--fix-pos",
        action="store_true",
        help="keep the nodes of --pos where they are and lay out only the others",
    )


def _add_layout_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("layout")
    group.add_argument(
        "--iterations",
        type=int,
        metavar="N",
        help="number of iterations (default: 1000, 300 from 100,000 nodes; with --multilevel, "
        "30 on the graph itself after the coarser levels)",
    )
    group.add_argument(
        "--tol",
        type=float,
        default=0.0,
        metavar="X",
        help="stop early once the mean step of the nodes, over the layout's size, stays "
        "below X for 5 iterations (e.g. 1e-3; default: 0, run every iteration)",
    )
    group.add_argument(
        "--threads",
        type=int,
        metavar="N",
        help="worker threads (default: the processors available from 2,500 nodes, "
        "768 in exact mode, else 1; "
        "at most four per processor are started)",
    )
    group.add_argument(
        "--seed",
        type=int,
        default=0,
        help="seed of the random start positions (default: 0)",
    )
    group.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar (default: when stderr is a terminal and tqdm is installed)",
    )
    group.add_argument(
        "--multilevel",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="start from a multilevel layout: coarsen the graph, lay out the coarsest, refine "
        "level by level; --iterations then counts the iterations on the graph itself "
        "(default: on from 1,000 nodes without --nodes or --pos, unless --iterations is 0)",
    )
    group.add_argument(
        "--picture",
        choices=PICTURES,
        default="auto",
        help="how strongly to pull groups of nodes apart: 'clustered' draws communities as "
        "tight knots (--lin-log --no-strong-gravity), 'faithful' keeps distances in proportion "
        "to the graph's, for meshes, trees and kNN graphs (--no-lin-log), 'auto' lets a "
        "multilevel layout decide from the graph and is faithful otherwise (default: auto)",
    )
    for setting in SETTINGS:
        flag = "--" + setting.name.replace("_", "-")
        # Settings whose default depends on the graph say so in their help.
        help = setting.help
        if setting.kind is float:
            help += f"; {range_text(setting)}"
        if setting.name == "edge_weight_influence":
            help += (
                f"; weight ** X and node masses (1 + the sum of a node's weights) "
                f"must be at most {min(MAX_NODE_MASS, MAX_POWERED_WEIGHT):g}"
            )
        if setting.name == "prevent_overlap":
            help += " (default: on when --nodes gives sizes, else off)"
        elif setting.name == "lin_log":
            help += " (default: set by --picture)"
        elif setting.name == "strong_gravity":
            help += " (default: off with --multilevel or --picture clustered, else on)"
        elif setting.kind is bool and setting.default is not None:
            help += f" (default: {'on' if setting.default else 'off'})"
        elif setting.default is not None:
            help += f" (default: {setting.default})"
        if setting.kind is bool:
            group.add_argument(
                flag,
                action=argparse.BooleanOptionalAction,
                default=None,
                help=help,
            )
        else:
            group.add_argument(
                flag,
                type=float,
                metavar="X",
                help=help,
            )


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("output")
    formats = ", ".join(OUTPUT_FORMATS)
    group.add_argument(
        "-o",
        "--output",
        action="append",
        type=Path,
        default=[],
        metavar="FILE",
        help=f"write positions, the laid-out graph or a picture, by extension ({formats}); "
        ".npy holds the positions only, .npz the positions and the node names, "
        ".gexf and .graphml the graph with positions, sizes and colours (Gephi), "
        ".html a page to pan, zoom, hover and search in a browser; "
        "repeatable; default: CSV positions on standard output",
    )
    group.add_argument(
        "--width",
        type=int,
        default=1600,
        help="picture width in pixels (default: 1600)",
    )
    group.add_argument(
        "--height",
        type=int,
        default=1600,
        help="picture height in pixels (default: 1600)",
    )
    group.add_argument(
        "--size",
        type=_size,
        metavar="WxH",
        help="picture size in pixels, e.g. 1200x800",
    )
    group.add_argument("--dpi", type=int, default=200, help="picture resolution (default: 200)")
    group.add_argument(
        "--labels",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"draw node names in pictures (default: up to {LABELS_UP_TO} nodes)",
    )
    group.add_argument(
        "--pack-components",
        action="store_true",
        help="after the layout, move each connected component (shape unchanged) into a "
        "tight packing of rows, the largest in place; every output gets the packed "
        "positions, so distances between components no longer come from the layout",
    )


def _add_batch_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("many graphs")
    group.add_argument(
        "--batch",
        type=Path,
        metavar="DIR",
        help="lay out every graph file in DIR (.csv .tsv .tab .txt .edges .edgelist .graphml "
        ".gexf .gml); -o names the output directory, one positions file per input",
    )
    group.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --batch: run on the Dask scheduler at ADDRESS, e.g. tcp://host:8786 "
        "(needs tallow_forceatlas2[batch]); default: threads of this process",
    )
    group.add_argument(
        "--output-format",
        choices=POSITION_FORMATS,
        default=".csv",
        help="with --batch: format of the output files (default: .csv)",
    )


def build_parser() -> argparse.ArgumentParser:
    """Build the argument parser of ``tallow-fa2``.

    Returns
    -------
    argparse.ArgumentParser
        A parser whose errors raise :class:`UsageError` instead of exiting.
    """
    parser = _Parser(
        prog=PROG,
        description="Lay out a graph with ForceAtlas2 and write its node positions "
        "and/or a picture.",
        epilog=f"example: {PROG} --demo -o demo.png",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_package_version()}")
    _add_input_options(parser)
    _add_layout_options(parser)
    _add_output_options(parser)
    _add_batch_options(parser)
    return parser


def _check_arguments(args: argparse.Namespace) -> None:
    if args.demo == (args.graph is not None):
        raise UsageError(
            "give either a graph file or --demo" if not args.demo else "--demo takes no graph file"
        )
    for path in args.output:
        if path.suffix.lower() not in OUTPUT_FORMATS:
            raise UsageError(
                f"{path}: cannot tell the output format from the extension; "
                f"use one of {', '.join(OUTPUT_FORMATS)}"
            )
        _check_writable(path)
        if path.suffix.lower() in PICTURE_FORMATS:
            try:
                import matplotlib  # noqa: F401
            except ModuleNotFoundError:
                raise UsageError(
                    f"{path}: pictures need matplotlib: pip install 'tallow_forceatlas2[plot]'"
                ) from None
    overwritten = input_overwritten_by(
        args.output, [args.graph, args.communities, args.pos, args.nodes]
    )
    if overwritten is not None:
        raise UsageError(
            f"{overwritten[0]}: is the input file {overwritten[1]}; writing would overwrite it: "
            "choose another output name"
        )
    if args.fix_pos and args.pos is None:
        raise UsageError("--fix-pos needs --pos FILE: the positions to keep")
    if args.iterations is not None and args.iterations < 0:
        raise UsageError(f"--iterations must be >= 0, not {args.iterations}")
    if args.threads is not None and not 1 <= args.threads <= MAX_THREADS:
        raise UsageError(f"--threads must be between 1 and {MAX_THREADS}, not {args.threads}")
    width, height = args.size if args.size else (args.width, args.height)
    if min(width, height, args.dpi) < 1:
        raise UsageError("--width, --height, --size and --dpi must be positive")
    args.width, args.height = width, height
    try:
        kernel_settings(0, _settings(args))
    except (TypeError, ValueError) as exc:
        raise UsageError(option_names(str(exc))) from None


def _check_writable(path: Path) -> None:
    """Refuse an output that cannot be written, before a long layout runs."""
    folder = path.parent
    if path.is_dir():
        raise UsageError(f"{path}: is a directory; give a file name to write")
    if not folder.is_dir():
        raise UsageError(
            f"{path}: the directory {folder} does not exist; create it first (mkdir -p {folder})"
        )
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise UsageError(f"{path}: permission denied: cannot write there")


# Python keyword names in messages from layout(), and the options that set them.
_OPTION_NAMES = {
    **{setting.name: "--" + setting.name.replace("_", "-") for setting in SETTINGS},
    "iterations": "--iterations",
    "threads": "--threads",
    "seed": "--seed",
    "tol": "--tol",
    "multilevel": "--multilevel",
    "picture": "--picture",
}
_KEYWORD = re.compile(
    r"(?<![\w-])(" + "|".join(sorted(_OPTION_NAMES, key=len, reverse=True)) + r")(?=[ =])"
)


def option_names(message: str) -> str:
    """Say a Python API message in the command line's terms: keywords become options."""
    return _KEYWORD.sub(lambda match: _OPTION_NAMES[match.group(1)], message).replace(
        "weight=None", "--no-weights"
    )


def _settings(args: argparse.Namespace) -> dict[str, Any]:
    return {setting.name: getattr(args, setting.name) for setting in SETTINGS}


def _node_options(args: argparse.Namespace, graph: EdgeList) -> dict[str, Any]:
    """layout()'s per-node arguments from --nodes, --pos and --fix-pos."""
    table = NodeTable()
    if args.nodes is not None:
        table = read_node_table(args.nodes, graph.nodes, delimiter=args.delimiter)
    unknown = list(table.unknown)
    position = dict(table.position)
    fixed = set(table.fixed)
    if args.pos is not None:
        given = read_start_positions(args.pos, graph.nodes, delimiter=args.delimiter)
        unknown += given.unknown
        position.update(given.position)
        if args.fix_pos:
            fixed |= set(given.position)
    if unknown:
        print(
            f"{PROG}: warning: {len(unknown)} node(s) of the node tables are not in the graph "
            f"and were skipped (first: {echo(unknown[0])})",
            file=sys.stderr,
        )
    options: dict[str, Any] = {}
    if table.size:
        options["node_size"] = table.size
    if table.mass:
        options["node_mass"] = table.mass
    if position:
        options["pos"] = {node: xy for node, xy in position.items()}
    if fixed:
        options["fixed"] = fixed
    return options


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _load(args: argparse.Namespace) -> EdgeList:
    if args.demo:
        from tallow_forceatlas2.demo import demo_graph

        demo = demo_graph()
        nodes = [str(i) for i in range(demo.n_nodes)]
        return EdgeList(nodes, demo.edges, None, demo.communities)
    graph = _read_input(args)
    if graph.guessed_header is not None:
        _warn(
            f"took the first line ({echo(','.join(graph.guessed_header))}) of {args.graph} for a "
            "header, since no other line names those nodes; pass --no-header to read it as an "
            "edge (or --header to say it is one)"
        )
    if args.communities is not None:
        communities, unknown = read_communities(
            args.communities, graph.nodes, delimiter=args.delimiter
        )
        if unknown:
            _warn(
                f"{args.communities}: {len(unknown)} node(s) are not in the graph and were "
                f"skipped (first: {echo(unknown[0])})"
            )
        missing = communities.count("")
        if missing:
            first = graph.nodes[communities.index("")]
            _warn(
                f"{args.communities}: {missing} of the graph's {len(graph.nodes)} nodes have no "
                f"community and are drawn grey (first: {echo(first)})"
            )
        graph = EdgeList(graph.nodes, graph.edges, graph.weights, communities)
    return graph


def _read_input(args: argparse.Namespace) -> EdgeList:
    """Read the graph file, standard input ('-') or a file in the --format named."""
    path: Path = args.graph
    from_stdin = str(path) == "-"
    suffix = "." + (args.format or "csv") if from_stdin or args.format else path.suffix
    if not from_stdin and suffix == path.suffix.lower():
        return _read_path(args, path)
    display = "<stdin>" if from_stdin else str(path)
    with tempfile.TemporaryDirectory(prefix="tallow-fa2-") as folder:
        # The readers take paths and may read a file twice (to tell a header
        # from an edge), so standard input is spooled to a file first.
        copy = Path(folder) / ("input" + suffix)
        if from_stdin:
            with copy.open("wb") as out:
                shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
        else:
            copy.symlink_to(path.resolve())
        try:
            return _read_path(args, copy)
        except InputError as exc:
            raise InputError(display, exc.line, exc.message) from None


def _read_path(args: argparse.Namespace, path: Path) -> EdgeList:
    weight = None if args.no_weights else args.weight
    return read_graph(
        path,
        delimiter=args.delimiter,
        header=args.header,
        weight=weight,
        community_attribute=args.community_attribute,
    )


def _run_layout(
    args: argparse.Namespace, graph: EdgeList, node_options: dict[str, Any]
) -> NDArray[np.float64]:
    progress = args.progress
    if progress is None:
        progress = sys.stderr.isatty() and importlib.util.find_spec("tqdm") is not None
    # The readers give dense, checked indices; GraphArrays passes them on as
    # they are, with the labels for messages that name nodes.
    edges = np.ascontiguousarray(graph.edges, dtype=np.uint32)
    arrays = GraphArrays(len(graph.nodes), edges, graph.weights, names=graph.nodes)
    try:
        return layout(
            arrays,
            iterations=args.iterations,
            threads=args.threads,
            seed=args.seed,
            tol=args.tol,
            multilevel=args.multilevel,
            picture=args.picture,
            progress=progress,
            **node_options,
            **_settings(args),
        )
    except (TypeError, ValueError, ModuleNotFoundError) as exc:
        raise UsageError(option_names(str(exc))) from None


def _write(
    args: argparse.Namespace,
    graph: EdgeList,
    positions: NDArray[np.float64],
    sizes: NDArray[np.float64] | None,
) -> None:
    if not args.output:
        write_positions_csv(sys.stdout, graph.nodes, positions)
        sys.stdout.flush()
        return
    for path in args.output:
        suffix = path.suffix.lower()
        if suffix == ".png" and _big_picture(len(graph.nodes)):
            from tallow_forceatlas2.draw.big import save_big_picture

            save_big_picture(
                path,
                graph.edges,
                positions,
                communities=graph.communities,
                width=args.width,
                height=args.height,
            )
        elif suffix in PICTURE_FORMATS:
            save_picture(
                path,
                graph.edges,
                positions,
                communities=graph.communities,
                node_sizes=sizes,
                width=args.width,
                height=args.height,
                dpi=args.dpi,
                labels=graph.nodes if _draw_labels(args, len(graph.nodes)) else None,
            )
        elif suffix in GRAPH_OUTPUT_FORMATS:
            _write_graph_file(path, graph, positions, sizes)
        elif suffix in HTML_FORMATS:
            from tallow_forceatlas2.draw.html import to_html

            to_html(
                path,
                positions,
                graph.edges,
                labels=graph.nodes,
                communities=graph.communities,
                node_sizes=sizes,
            )
        else:
            write_positions(path, graph.nodes, positions)


def _big_picture(n_nodes: int) -> bool:
    """Whether to draw with datashader: big graphs, when it is installed."""
    from tallow_forceatlas2.draw import big

    if n_nodes < big.BIG_PICTURE_NODES:
        return False
    if big.have_datashader():
        return True
    _warn(
        f"drawing {n_nodes:,} nodes with matplotlib takes minutes; "
        "pip install 'tallow_forceatlas2[bigplot]' draws big graphs with datashader"
    )
    return False


def _draw_labels(args: argparse.Namespace, n_nodes: int) -> bool:
    return bool(args.labels) if args.labels is not None else n_nodes <= LABELS_UP_TO


def _write_graph_file(
    path: Path,
    graph: EdgeList,
    positions: NDArray[np.float64],
    sizes: NDArray[np.float64] | None,
) -> None:
    from tallow_forceatlas2.io import write_gexf, write_graphml

    edges = np.ascontiguousarray(graph.edges, dtype=np.uint32)
    arrays = GraphArrays(len(graph.nodes), edges, graph.weights, names=graph.nodes)
    writer = write_gexf if path.suffix.lower() == ".gexf" else write_graphml
    writer(path, arrays, positions, communities=graph.communities, sizes=sizes)


def _quiet_broken_pipe() -> int:
    """End as Unix tools do when the reader of standard output has gone (``| head``)."""
    # Later writes (and Python's own flush at exit) must not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_BROKEN_PIPE


def _drawn_sizes(node_options: dict[str, Any], n_nodes: int) -> NDArray[np.float64] | None:
    """Sizes to draw, when the node table gave any: 1 where it gave none."""
    given = node_options.get("node_size")
    if not given:
        return None
    sizes = np.ones(n_nodes)
    for node, size in given.items():
        sizes[node] = size
    return sizes


def _out_of_memory(exc: MemoryError) -> str:
    detail = str(exc).splitlines()[0] if str(exc) else "the graph does not fit in memory"
    return f"out of memory: {detail} (try a smaller graph or a machine with more memory)"


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``tallow-fa2``.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments; default: ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 1 when an output cannot be written, 2 for bad input,
        130 when interrupted.
    """
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return _main(argv, caught)
        finally:
            for warning in caught:
                _warn(option_names(str(warning.message)))


def _main(argv: Sequence[str] | None, caught: list[warnings.WarningMessage]) -> int:
    try:
        args = build_parser().parse_args(argv)
        if args.batch is not None:
            from tallow_forceatlas2.batch import batch_command

            return batch_command(args, PROG)
        _check_arguments(args)
        graph = _load(args)
        node_options = _node_options(args, graph)
        for warning in caught:  # the input's warnings before a long layout
            _warn(option_names(str(warning.message)))
        caught.clear()
        positions = _run_layout(args, graph, node_options)
        if args.pack_components:
            from tallow_forceatlas2.draw import pack_components

            positions = pack_components(graph.edges, positions)
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except (UsageError, InputError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except MemoryError as exc:
        print(f"{PROG}: error: {_out_of_memory(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    try:
        _write(args, graph, positions, _drawn_sizes(node_options, len(graph.nodes)))
    except BrokenPipeError:
        return _quiet_broken_pipe()
    except (OSError, ValueError) as exc:
        print(f"{PROG}: error: cannot write output: {exc}", file=sys.stderr)
        return EXIT_OUTPUT_FAILED
    except MemoryError as exc:
        print(f"{PROG}: error: cannot write output: {_out_of_memory(exc)}", file=sys.stderr)
        return EXIT_OUTPUT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0
