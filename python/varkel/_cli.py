"""Command line: varkel order | graph | demo (also as python -m varkel)."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import time
import traceback
from collections.abc import Sequence
from typing import Any, NoReturn

import numpy as np

import varkel
from varkel._csv import UsageError, read_table
from varkel._mpi import agree_if
from varkel._progress import CountBar, ProgressBar, SearchDeclined

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


def named(names: list[str], X: np.ndarray) -> Any:
    """The table as a DataFrame, so that every message names its columns
    (pandas is optional: without it the columns are x0, x1, ...)."""
    try:
        import pandas as pd  # noqa: PLC0415
    except ImportError:
        return X
    return pd.DataFrame(X, columns=names)


def mpi_rank(options: argparse.Namespace) -> int:
    """This process's rank in the MPI job (0 without --mpi)."""
    if not getattr(options, "mpi", False):
        return 0
    try:
        from mpi4py import MPI  # noqa: PLC0415 - MPI is optional
    except ImportError:
        raise UsageError("--mpi needs mpi4py: pip install 'varkel[mpi]'") from None
    return int(MPI.COMM_WORLD.Get_rank())


def reports(options: argparse.Namespace) -> bool:
    """Whether this process prints results and errors: under MPI only rank 0."""
    try:
        return mpi_rank(options) == 0
    except UsageError:
        return True


def progress_for(options: argparse.Namespace, n_vars: int) -> Any:
    """The progress bar. Under MPI only rank 0 shows it, and it does not ask
    about long searches: a job launched on a cluster is meant to run, and a
    rank that stopped alone would leave the others waiting."""
    if not reports(options):
        return SilentProgress()
    return ProgressBar(n_vars, assume_yes=options.yes or getattr(options, "mpi", False))


class SilentProgress:
    def __call__(self, done: int, total: int) -> None:
        pass

    def close(self) -> None:
        pass


def read_prior(path: str | None, names: list[str]) -> np.ndarray | None:
    if path is None:
        return None
    prior_names, values = read_table(path, header=None, finite=False)
    if prior_names != [f"x{j}" for j in range(len(prior_names))] and prior_names != names:
        raise UsageError(f"{path}: its header names {prior_names}, not the data's columns "
                         f"{names}")
    return values


def read_input(options: argparse.Namespace) -> tuple[list[str], np.ndarray, Any]:
    """The table, its names and the prior knowledge. Under MPI every rank
    reads its own copy, and the ranks agree that all of them could before
    anything else is exchanged."""
    if options.mpi and options.file == "-":
        raise UsageError("standard input ('-') reaches only one rank under --mpi; give the "
                         "data as a file every rank can read")
    if options.checkpoint == "":
        raise UsageError("--checkpoint needs a directory, got an empty path")

    def read() -> tuple[list[str], np.ndarray, Any]:
        names, X = read_table(options.file, header=options.header, index_col=options.index_col)
        return names, X, read_prior(options.prior, names)

    return agree_if(options.mpi, read)


def command_order(options: argparse.Namespace) -> dict[str, Any]:
    names, X, prior = read_input(options)
    progress = progress_for(options, X.shape[1])
    try:
        result = varkel.causal_order(named(names, X), reference=options.reference,
                                     threads=options.threads,
                                     prior_knowledge=prior,
                                     progress=progress, checkpoint=options.checkpoint,
                                     mpi=options.mpi)
    finally:
        progress.close()
    if not reports(options):
        return {"text": None, "json": None}
    ordered = [names[j] for j in result.order]
    return {"text": " -> ".join(ordered),
            "json": {"order": ordered, "order_indices": result.order, "total": result.total,
                     "reference": result.reference, "n_samples": int(X.shape[0])}}


def fit_with_progress(options: argparse.Namespace, model: Any, data: Any,
                      n_vars: int) -> None:
    """model.fit(data) with the progress bar, a checkpoint and MPI as asked."""
    progress = progress_for(options, n_vars)
    try:
        model.fit(data, progress=progress, checkpoint=options.checkpoint, mpi=options.mpi)
    finally:
        progress.close()


def bootstrap_with_progress(options: argparse.Namespace, model: Any, data: Any) -> Any:
    """model.bootstrap(data, --bootstrap) with a resample counter, or None
    without --bootstrap; says on standard error how many resamples were
    skipped (the same for every group, when the result is one per group)."""
    if not options.bootstrap:
        return None
    counter = CountBar("resamples")
    try:
        result = model.bootstrap(data, options.bootstrap, progress=counter)
    finally:
        counter.close()
    skipped = (result[0] if isinstance(result, list) else result).skipped_resamples_
    if skipped:
        print(f"varkel: {len(skipped)} of {options.bootstrap} resamples could not be searched "
              "and were skipped", file=sys.stderr)
    return result


def edge_lines(names: list[str], B: np.ndarray, probabilities: np.ndarray | None,
               margins: np.ndarray | None) -> list[str]:
    lines = []
    for j, i in varkel.edges(B):
        line = f"{names[j]} -> {names[i]}  {B[i, j]:+.4g}"
        if probabilities is not None:
            line += f"  p={probabilities[i, j]:.2f}"
        if margins is not None:
            # What reversing the pair would cost: x_i before x_j is entry [j, i].
            line += f"  margin={margins[j, i]:.3g}"
        lines.append(line)
    return lines or ["(no edges)"]


def report_runner_up(model: Any, names: list[str]) -> None:
    """The runner-up order, on standard error so that standard output stays
    the result alone."""
    if model.runner_up_order_ is not None:
        print(f"runner-up order: {' -> '.join(names[j] for j in model.runner_up_order_)}"
              f"  (total {model.runner_up_total_:.6g}, against {model.total_score_:.6g})",
              file=sys.stderr)


def report_trust(model: Any, names: list[str], X: np.ndarray) -> list[str]:
    """The runner-up order and the diagnostics' warnings, on standard error."""
    report_runner_up(model, names)
    warnings: list[str] = model.diagnostics(named(names, X))
    for text in warnings:
        print(f"warning: {text}", file=sys.stderr)
    return warnings


def command_graph(options: argparse.Namespace) -> dict[str, Any]:
    if options.groups and options.lags:
        raise UsageError("--groups and --lags cannot be combined")
    if len(options.files) > 1 and not options.groups:
        raise UsageError(f"{len(options.files)} files given: add --groups to fit them as "
                         "groups sharing one causal order")
    if options.groups:
        from varkel._cli_groups import command_groups  # noqa: PLC0415 - it imports this module

        return command_groups(options)
    options.file = options.files[0]
    if options.lags:
        from varkel._cli_lags import command_lags  # noqa: PLC0415 - it imports this module

        return command_lags(options)
    check_outputs(options)
    names, X, prior = read_input(options)
    model = varkel.ExhaustiveLiNGAM(prior_knowledge=prior, threads=options.threads,
                                    random_state=options.seed)
    fit_with_progress(options, model, named(names, X), X.shape[1])
    if not reports(options):
        return {"text": None, "json": None}
    bootstrap = bootstrap_with_progress(options, model, named(names, X))
    probabilities = None if bootstrap is None else bootstrap.get_probabilities()
    B = model.adjacency_matrix_
    margins = model.order_margins_
    warnings = report_trust(model, names, X)
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
                     "runner_up_total": model.runner_up_total_, "warnings": warnings},
            "files": lambda: write_pictures(options, model, names, probabilities)}


def json_number(value: float) -> float | str:
    """A float for JSON, with infinity spelled out (JSON has no infinity)."""
    return float(value) if np.isfinite(value) else "inf"


def write_pictures(options: argparse.Namespace, model: Any, names: list[str],
                   probabilities: np.ndarray | None) -> None:
    B = model.adjacency_matrix_
    if options.dot:
        write_file(options.dot, varkel.to_dot(B, names, probabilities,
                                              margins=model.order_margins_))
    if options.png:
        ax = varkel.plot_graph(B, names, model.causal_order_, probabilities=probabilities,
                               margins=model.order_margins_)
        save_figure(options.png, ax.figure)


def save_figure(path: str, figure: Any) -> None:
    try:
        figure.savefig(path, dpi=150)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def check_outputs(options: argparse.Namespace) -> None:
    """Refuses output files that could not be written, before the search."""
    for flag, path in (("--dot", options.dot), ("--png", options.png)):
        if path is None:
            continue
        if not path:
            raise UsageError(f"{flag} needs a file name, got an empty path")
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise UsageError(f"cannot write {path}: no such directory {folder}")
        if os.path.isdir(path):
            raise UsageError(f"cannot write {path}: it is a directory")
        if not os.access(folder, os.W_OK):
            raise UsageError(f"cannot write {path}: permission denied")
    if options.png:
        suffix = os.path.splitext(options.png)[1].lower().lstrip(".")
        formats = varkel.picture_formats()
        if suffix not in formats:
            raise UsageError(f"--png {options.png}: {'.' + suffix if suffix else 'no suffix'} is "
                             f"not a picture format; use one of "
                             f"{', '.join('.' + f for f in sorted(formats))}")


def write_file(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


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


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = OneLineParser(prog=prog, description=(
        "Exhaustive causal discovery for linear non-Gaussian data: the best causal order "
        "of up to 30 variables, and the causal graph it implies."))
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
    graph.add_argument("--groups", action="store_true",
                       help="the FILEs (same columns, any number of rows) are groups sharing "
                            "one causal order: one graph per group")
    graph.add_argument("--lags", type=positive, metavar="K",
                       help="FILE is a time series, oldest row first: fit a vector "
                            "autoregression of up to K lags (chosen by BIC), and print the "
                            "instantaneous and lagged edges")
    graph.add_argument("--bootstrap", type=positive, metavar="N",
                       help="also fit N resamples and report each edge's probability")
    graph.add_argument("--seed", type=non_negative, default=0, metavar="S",
                       help="seed of the bootstrap's resampling (default 0)")
    graph.add_argument("--dot", metavar="OUT.dot", help="write the graph as Graphviz DOT")
    graph.add_argument("--png", metavar="OUT.png", help="draw the graph into a PNG file")
    graph.set_defaults(run=command_graph)

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


def emit(text: str) -> None:
    """Prints the result; a full disk or a closed pipe is reported, not a traceback."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
    except OSError as error:
        _silence_stdout()
        raise UsageError(f"cannot write the output: {error.strerror or error}") from None


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
            message = str(error) or "not enough memory"
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
