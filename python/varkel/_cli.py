"""Command line: varkel order | graph | demo (also as python -m varkel)."""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import sys
import time
import traceback
from collections.abc import Sequence
from typing import Any, NoReturn

import numpy as np

import varkel
from varkel._cli_common import (
    bootstrap_with_progress,
    check_outputs,
    edge_lines,
    fit_with_progress,
    free_large_blocks_promptly,
    json_number,
    named,
    progress_for,
    read_input,
    report_checks,
    report_runner_up,
    report_search,
    reports,
    runner_up_tied,
    save_figure,
    write_file,
    write_report,
)
from varkel._cli_groups import command_groups
from varkel._cli_lags import command_lags
from varkel._csv import UsageError
from varkel._progress import SearchDeclined

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class OneLineParser(argparse.ArgumentParser):
    """Reports a usage error in one line, with exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def whole_number(text: str) -> int:
    if not re.fullmatch(r"\s*[+-]?\d+\s*", text):  # int() would also take 1_000
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number")
    return int(text)


def window_width(text: str) -> int:
    if not re.fullmatch(r"\s*[+-]?\d+\s*", text) or not 2 <= int(text) <= 25:
        raise argparse.ArgumentTypeError(f"must be a whole number from 2 to 25, got {text!r}")
    return int(text)


def beam_width(text: str) -> int:
    if not re.fullmatch(r"\s*[+-]?\d+\s*", text) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text!r}")
    return int(text)


def non_negative(text: str) -> int:
    value = whole_number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def positive(text: str) -> int:
    value = whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def command_order(options: argparse.Namespace) -> dict[str, Any]:
    if options.own_process:
        # Reading a long table frees many large blocks; without this the
        # allocator keeps them and they add to the peak. (Not for the other
        # commands: their many large temporaries would each be mapped afresh,
        # which made varkel graph a quarter to a third slower.)
        free_large_blocks_promptly()
    # In the search's column layout: searched where it is, without a copy.
    names, X, knowledge = read_input(options, columns=True)
    n_samples = int(X.shape[0])
    progress = progress_for(options, X.shape[1])
    try:
        # The table read is this command's own: the search may standardise it
        # in place, so that it holds one copy of the table, not two.
        result = varkel.causal_order(X, names=names, copy=False, reference=options.reference,
                                     threads=options.threads, **knowledge,
                                     progress=progress, checkpoint=options.checkpoint,
                                     mpi=options.mpi)
    finally:
        progress.close()
    if not reports(options):
        return {"text": None, "json": None}
    report_search(options, result.search, result.blocks or [result.order])
    ordered = [names[j] for j in result.order]
    return {"text": " -> ".join(ordered),
            "json": {"order": ordered, "order_indices": result.order, "total": result.total,
                     "reference": result.reference, "n_samples": n_samples,
                     "search": result.search}}


def report_trust(model: Any, names: list[str], X: np.ndarray) -> dict[str, Any]:
    """The runner-up order, the residuals' independence and the
    diagnostics, on standard error."""
    report_runner_up(model, names)
    return report_checks(model.diagnostics(named(names, X)), model.independence_)


def command_graph(options: argparse.Namespace) -> dict[str, Any]:
    if options.groups and options.lags:
        raise UsageError("--groups and --lags cannot be combined")
    if len(options.files) > 1 and not options.groups:
        raise UsageError(f"{len(options.files)} files given: add --groups to fit them as "
                         "groups sharing one causal order")
    if options.groups:
        return command_groups(options)
    options.file = options.files[0]
    if options.lags:
        return command_lags(options)
    check_outputs(options)
    names, X, knowledge = read_input(options)
    model = varkel.ExhaustiveLiNGAM(**knowledge, threads=options.threads,
                                    random_state=options.seed)
    fit_with_progress(options, model, named(names, X), X.shape[1])
    if not reports(options):
        return {"text": None, "json": None}
    bootstrap = bootstrap_with_progress(options, model, named(names, X))
    probabilities = None if bootstrap is None else bootstrap.get_probabilities()
    B = model.adjacency_matrix_
    margins = model.order_margins_
    report_search(options, model.search_, model.blocks_)
    checks = report_trust(model, names, X)
    edges = [{"from": names[j], "to": names[i], "weight": float(B[i, j]),
              **({} if probabilities is None else {"probability": float(probabilities[i, j])}),
              **({} if margins is None else {"margin": json_number(margins[j, i])})}
             for j, i in varkel.edges(B)]
    order_line = f"order: {' -> '.join(names[j] for j in model.causal_order_)}"
    skipped = 0 if bootstrap is None else len(bootstrap.skipped_resamples_)
    runner_up = model.runner_up_order_
    return {"text": "\n".join([order_line, *edge_lines(names, B, probabilities, margins)]),
            "json": {"order": [names[j] for j in model.causal_order_], "edges": edges,
                     "adjacency_matrix": B.tolist(), "names": names,
                     "bootstrap": options.bootstrap or 0, "bootstrap_skipped": skipped,
                     "order_margins": None if margins is None
                     else [[json_number(v) for v in row] for row in margins],
                     "runner_up_order": None if runner_up is None
                     else [names[j] for j in runner_up],
                     "runner_up_total": model.runner_up_total_,
                     "runner_up_tied": runner_up_tied(model), **checks,
                     "search": model.search_},
            "files": lambda: write_pictures(options, model, names, probabilities, X, bootstrap)}


def write_pictures(options: argparse.Namespace, model: Any, names: list[str],
                   probabilities: np.ndarray | None, X: np.ndarray, bootstrap: Any) -> None:
    write_report(options, model, named(names, X), bootstrap)
    B = model.adjacency_matrix_
    if options.dot:
        write_file(options.dot, varkel.to_dot(B, names, probabilities,
                                              margins=model.order_margins_))
    if options.png:
        ax = varkel.plot_graph(B, names, model.causal_order_, probabilities=probabilities,
                               margins=model.order_margins_)
        save_figure(options.png, ax.figure)


def command_demo(options: argparse.Namespace) -> dict[str, Any]:
    if not 1 <= options.vars <= 30:
        raise UsageError("--vars must be between 1 and 30")
    if options.samples <= options.vars:
        raise UsageError(f"--samples must be at least {options.vars + 1}")
    X, truth = varkel.simulate_lingam(options.vars, options.samples, options.seed)
    progress = progress_for(options, options.vars)
    start = time.perf_counter()
    try:
        result = varkel.causal_order(X, threads=options.threads, progress=progress)
    finally:
        progress.close()
    elapsed = time.perf_counter() - start
    scores = options.vars * 2 ** (options.vars - 1)
    agreement = varkel.pair_agreement(truth, result.order)
    lines = [f"simulated {options.samples} samples of {options.vars} variables "
             f"(fully connected linear DAG, uniform noise, seed {options.seed})",
             f"true order:      {truth}",
             f"recovered order: {result.order}",
             f"ordered pairs recovered: {agreement:.3f}",
             f"search: {scores:,} scores in {elapsed:.2f} s"]
    return {"text": "\n".join(lines),
            "json": {"true_order": truth, "order": result.order, "pairs_recovered": agreement,
                     "seconds": elapsed}}


def add_common(parser: argparse.ArgumentParser, *, data: bool = True,
               several: bool = False) -> None:
    if data:
        table = ("numeric table: comma-, semicolon- or tab-separated, - for standard input")
        if several:
            parser.add_argument("files", metavar="FILE", nargs="+",
                                help=table + "; several with --groups")
        else:
            parser.add_argument("file", metavar="FILE", help=table)
        header = parser.add_mutually_exclusive_group()
        header.add_argument("--header", dest="header", action="store_const", const=True,
                            help="the first row names the columns, even if it is numeric "
                                 "(default: a header when any of its cells is not a number)")
        header.add_argument("--no-header", dest="header", action="store_const", const=False,
                            help="the first row is data")
        parser.add_argument("--index-col", metavar="COL",
                            help="a column to leave out, such as the row index pandas writes: "
                                 "its name, or its position from 0")
        parser.add_argument("--prior", metavar="PK.csv",
                            help="prior knowledge: an n x n matrix of -1, 0, 1 in "
                                 "DirectLiNGAM's format (pk[i, j] = 1: column j is an "
                                 "ancestor of column i; 0: it is not)")
        parser.add_argument("--tiers", metavar="FILE",
                            help="tiers: one a line, earlier tiers first, each its columns' "
                                 "names or positions separated by commas (CSV: quote a name "
                                 "with a comma; a column's name wins over a position); no "
                                 "variable is an ancestor of an earlier tier's. Searched tier "
                                 "by tier, each tier of up to 30 columns exactly")
        parser.add_argument("--search", choices=varkel.SEARCHES, default="auto",
                            help="how to search blocks of more than 30 variables: large (the "
                                 "default unless only --window is given), window, or exact "
                                 "(refuse them)")
        parser.add_argument("--window", type=window_width, metavar="W",
                            help="the windows' width (2 to 25): given alone, search blocks of "
                                 "more than 30 variables by windows of W consecutive "
                                 "positions; with --search large, that search's windows")
        parser.add_argument("--beam", type=beam_width, metavar="K",
                            help="start the large search from a beam over the subset lattice "
                                 "that keeps K sets of variables a level")
        parser.add_argument("--checkpoint", metavar="DIR",
                            help="write each finished level of the search to DIR, and resume "
                                 "from it when run again on the same data")
        parser.add_argument("--mpi", action="store_true",
                            help="split the search over the ranks of an MPI job (run under "
                                 "mpiexec or srun); rank 0 prints the result")
    parser.add_argument("--threads", type=non_negative, default=0, metavar="N",
                        help="worker threads (default 0: every processor)")
    parser.add_argument("--yes", action="store_true",
                        help="run a search estimated above one hour without asking")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")


def add_graph_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--groups", action="store_true",
                        help="the FILEs (same columns, any number of rows) are groups sharing "
                             "one causal order: one graph per group")
    parser.add_argument("--lags", type=positive, metavar="K",
                        help="FILE is a time series, oldest row first: fit a vector "
                             "autoregression of up to K lags (chosen by BIC), and print the "
                             "instantaneous and lagged edges")
    parser.add_argument("--bootstrap", type=positive, metavar="N",
                        help="also fit N resamples and report each edge's probability")
    parser.add_argument("--seed", type=non_negative, default=0, metavar="S",
                        help="seed of the bootstrap's resampling (default 0)")


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = OneLineParser(prog=prog, description=(
        "Exhaustive causal discovery for linear non-Gaussian data: the best causal order "
        "of up to 30 variables (more in tiers, or by the large search), and the causal graph "
        "it implies."))
    parser.add_argument("--version", action="version", version=f"varkel {varkel.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=OneLineParser)

    order = commands.add_parser("order", help="the best causal order of a table's columns",
                                description="Print the best causal order of the columns, "
                                            "causes first.")
    add_common(order)
    order.add_argument("--reference", choices=varkel.REFERENCES, default="normal",
                       help="the null distribution the residuals are contrasted with")
    order.set_defaults(run=command_order)

    graph = commands.add_parser("graph", help="the causal graph of a table's columns",
                                description="Print the causal graph's edges with their "
                                            "weights (adaptive lasso, BIC), and optionally "
                                            "bootstrap probabilities and pictures.")
    add_common(graph, several=True)
    add_graph_options(graph)
    graph.add_argument("--dot", metavar="OUT.dot", help="write the graph as Graphviz DOT")
    graph.add_argument("--png", metavar="OUT.png", help="draw the graph into a PNG file")
    graph.set_defaults(run=command_graph)

    report = commands.add_parser(
        "report", help="a one-file HTML report of the causal graph",
        description="Fit as graph does, print the result, and write a self-contained HTML "
                    "report: the data and its checks, the order and its margins, the graph, "
                    "a sortable table of the edges, the bootstrap, and a methods paragraph.")
    add_common(report, several=True)
    add_graph_options(report)
    report.add_argument("-o", "--output", metavar="OUT.html", required=True,
                        help="the report's file")
    report.set_defaults(run=command_graph, dot=None, png=None)

    demo = commands.add_parser("demo", help="simulate data with a known order and recover it",
                               description="Simulate a fully connected linear DAG with "
                                           "uniform noise, recover its order, compare.")
    demo.add_argument("--vars", type=int, default=8, metavar="N", help="variables (default 8)")
    demo.add_argument("--samples", type=int, default=2000, metavar="M",
                      help="samples (default 2000)")
    demo.add_argument("--seed", type=non_negative, default=0, metavar="S",
                      help="seed (default 0)")
    add_common(demo, data=False)
    demo.set_defaults(run=command_demo)
    return parser


# What MPI launchers (MPICH's and Open MPI's) set in every process they start.
LAUNCHER_SIZES = ("PMI_SIZE", "OMPI_COMM_WORLD_SIZE")
LAUNCHER_RANKS = ("PMI_RANK", "OMPI_COMM_WORLD_RANK")


def launched_without_mpi(options: argparse.Namespace) -> bool:
    """Whether this process is one of several that an MPI launcher started
    for a command without --mpi: each would run the whole search alone, and
    would ask, print and write the same things. Rank 0 says so."""
    if getattr(options, "mpi", True):
        return False
    size = next((os.environ[name] for name in LAUNCHER_SIZES if name in os.environ), "1")
    if not size.isdigit() or int(size) < 2:
        return False
    rank = next((os.environ[name] for name in LAUNCHER_RANKS if name in os.environ), "0")
    if rank == "0":
        print(f"varkel: error: started as one of {size} processes of an MPI job without --mpi; "
              "add --mpi to split the search over them, or run varkel without the launcher",
              file=sys.stderr)
    return True


def emit(text: str) -> None:
    """Prints the result; a full disk or a closed pipe is reported, not a traceback."""
    try:
        sys.stdout.flush()
        _write_all(sys.stdout, (text + "\n").encode(sys.stdout.encoding or "utf-8",
                                                    errors="replace"))
    except BrokenPipeError:
        _silence_stdout()
    except OSError as error:
        _silence_stdout()
        raise UsageError(f"cannot write the output: {error.strerror or error}") from None


def _write_all(stream: Any, data: bytes) -> None:
    """Writes every byte to the stream's descriptor, or raises. A write cut
    short (a file-size limit, a full disk) is followed by another, which
    reports the error; a buffered stream could lose it and exit 0."""
    try:
        descriptor = stream.fileno()
    except (AttributeError, OSError, ValueError):  # not a file (a test's capture)
        stream.write(data.decode(stream.encoding or "utf-8"))
        stream.flush()
        return
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def _silence_stdout() -> None:
    # Nothing more can be written; keep the interpreter's final flush quiet.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None, prog: str = "varkel") -> int:
    if sys.stderr is None:  # started with standard error closed: errors go nowhere
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    parser = build_parser(prog)
    options = argparse.Namespace()
    try:
        if sys.stdout is None:
            raise UsageError("standard output is closed")
        options = parser.parse_args(argv)
        options.command_line = shlex.join([prog, *(sys.argv[1:] if argv is None else argv)])
        options.own_process = argv is None
        if launched_without_mpi(options):
            return EXIT_USAGE
        if getattr(options, "mpi", False) and getattr(options, "bootstrap", None):
            raise UsageError("--bootstrap cannot be combined with --mpi")
        result = options.run(options)
        if result["text"] is not None:
            emit(json.dumps(result["json"]) if options.json else result["text"])
        if "files" in result and result["text"] is not None:
            result["files"]()  # after the result is printed, so a failure cannot lose it
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (UsageError, varkel.InputError, SearchDeclined, MemoryError) as error:
        # Under MPI every rank has the same failure; rank 0 reports it.
        if reports(options):
            message = (getattr(error, "command_line", None) or str(error)
                       or "not enough memory")
            print(f"{prog}: error: {message}", file=sys.stderr)
        return EXIT_USAGE
    except Exception:
        # A fault of varkel's own. Under MPI the other ranks would wait for
        # this one forever: end the whole job.
        if getattr(options, "mpi", False):
            traceback.print_exc()
            sys.stderr.flush()
            from mpi4py import MPI  # noqa: PLC0415

            MPI.COMM_WORLD.Abort(1)
        raise
    return 0
