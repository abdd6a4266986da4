"""What the command line's subcommands share: reading the input, fitting
with a progress bar, the bootstrap, edges as text, and writing files. The
subcommands import this module; it imports none of them."""

from __future__ import annotations

import argparse
import csv
import ctypes
import os
import sys
from typing import Any

import numpy as np

import varkel
from varkel._csv import UsageError, read_table
from varkel._mpi import agree_if
from varkel._progress import CountBar, ProgressBar


def named(names: list[str], X: np.ndarray) -> Any:
    """The table as a DataFrame, so that every message names its columns
    (pandas is optional: without it the columns are x0, x1, ...)."""
    try:
        import pandas as pd  # noqa: PLC0415
    except ImportError:
        return X
    return pd.DataFrame(X, columns=names, copy=False)


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


def read_tiers(path: str | None, names: list[str]) -> list[list[str | int]] | None:
    """Tiers from a file: one tier a line, earlier tiers first, its columns'
    names or positions (from 0) separated by commas, read as CSV (a name
    with a comma is quoted); blank lines and lines starting with # are
    skipped. An entry that is a column's name is that column, even when it
    is also a number; a warning on standard error says so."""
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8", newline="") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "it is not UTF-8 text"
        raise UsageError(f"cannot read {path}: {reason or error}") from None
    tiers: list[list[str | int]] = []
    for number, line in enumerate(lines, start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        try:
            (row,) = csv.reader([line], skipinitialspace=True, strict=True)
        except csv.Error as error:
            raise UsageError(f"{path}, line {number}: {error}") from None
        tiers.append([_tier_entry(cell.strip(), names, path)
                      for cell in row if cell.strip()])
    if not tiers:
        raise UsageError(f"{path} holds no tiers: give one tier a line, earlier tiers first")
    return tiers


def _tier_entry(cell: str, names: list[str], path: str) -> str | int:
    """A column's name, or else a position."""
    if cell in names:
        if cell.isdigit() and int(cell) < len(names) and names[int(cell)] != cell:
            print(f"varkel: warning: {path}: {cell!r} is read as the column named {cell!r}, "
                  f"not as position {cell} ({names[int(cell)]!r}); names win",
                  file=sys.stderr)
        return cell
    return int(cell) if cell.isdigit() else cell


def read_knowledge(options: argparse.Namespace, names: list[str]) -> dict[str, Any]:
    """What the options say of the order and its search: the estimators'
    prior_knowledge, tiers, search, window and beam."""
    return {"prior_knowledge": read_prior(options.prior, names),
            "tiers": read_tiers(options.tiers, names), "search": options.search,
            "window": options.window, "beam": options.beam}


def report_search(options: argparse.Namespace, search: str, blocks: list[list[int]]) -> None:
    """How the order was searched, on standard error; and that --window or
    --beam went unused when every block was searched exactly."""
    sizes = [len(b) for b in blocks]
    if search == "exact":
        what = (f"{sizes[0]} variables are" if len(sizes) == 1
                else f"blocks of up to {max(sizes)} variables are")
        for flag, given in (("window", options.window), ("beam", options.beam)):
            if given is not None:
                print(f"{flag} ignored: {what} searched exactly", file=sys.stderr)
    if len(sizes) == 1:
        print(f"search: {search}", file=sys.stderr)
        return
    print(f"search: {search}, in {len(sizes)} blocks of "
          f"{', '.join(str(size) for size in sizes)} variables", file=sys.stderr)


def read_input(options: argparse.Namespace, *,
               columns: bool = False) -> tuple[list[str], np.ndarray, Any]:
    """The table, its names and the prior knowledge. Under MPI every rank
    reads its own copy, and the ranks agree that all of them could before
    anything else is exchanged. columns: as read_table's."""
    if options.mpi and options.file == "-":
        raise UsageError("standard input ('-') reaches only one rank under --mpi; give the "
                         "data as a file every rank can read")
    if options.checkpoint == "":
        raise UsageError("--checkpoint needs a directory, got an empty path")

    def read() -> tuple[list[str], np.ndarray, Any]:
        names, X = read_table(options.file, header=options.header, index_col=options.index_col,
                              columns=columns)
        return names, X, read_knowledge(options, names)

    return agree_if(options.mpi, read)


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
        order = " -> ".join(names[j] for j in model.runner_up_order_)
        if runner_up_tied(model):
            how = f"tied with the best order at the search's precision: total " \
                  f"{model.total_score_:.6g}"
        else:
            how = f"total {model.runner_up_total_:.6g}, against {model.total_score_:.6g}"
        print(f"runner-up order: {order}  ({how})", file=sys.stderr)


def report_checks(diagnostics: list[Any], independence: Any, label: str = ""
                  ) -> dict[str, Any]:
    """The residuals' independence line and one line per diagnostic kind,
    on standard error (each after `label` when given, as "group a.csv: ");
    returns them for the JSON output."""
    print(f"{label}{independence}", file=sys.stderr)
    for found in diagnostics:
        print(f"{label}{found.severity}: {found}", file=sys.stderr)
    return {"independence": independence.to_dict(),
            "diagnostics": [found.to_dict() for found in diagnostics],
            "warnings": [str(found) for found in diagnostics]}


def runner_up_tied(model: Any) -> bool:
    """Whether the runner-up order ties the best one: the search sums in
    single precision, so totals equal there cannot be told apart (the
    runner-up's double-precision total may then even lie above)."""
    return model.runner_up_order_ is not None and bool(
        np.float32(model.runner_up_total_) >= np.float32(model.total_score_))


def json_number(value: float) -> float | str:
    """A float for JSON, with infinity spelled out (JSON has no infinity)."""
    return float(value) if np.isfinite(value) else "inf"


def save_figure(path: str, figure: Any) -> None:
    try:
        figure.savefig(path, dpi=150)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def check_outputs(options: argparse.Namespace) -> None:
    """Refuses output files that could not be written, before the search."""
    for flag, path in (("--dot", options.dot), ("--png", options.png),
                       ("--output", getattr(options, "output", None))):
        if path is None:
            continue
        if not path:
            raise UsageError(f"{flag} needs a file name, got an empty path")
        if path == "-":
            raise UsageError(f"{flag} needs a file name: standard output ('-') holds the result")
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


def write_report(options: argparse.Namespace, model: Any, data: Any, bootstrap: Any) -> None:
    """The HTML report, for `varkel report`: after the result is printed."""
    if getattr(options, "output", None) is None:
        return
    try:
        model.report(data, options.output, bootstrap, sources=list(options.files),
                     command=getattr(options, "command_line", None))
    except varkel.InputError as error:
        raise UsageError(str(error)) from None
    print(f"report written to {options.output}", file=sys.stderr)


def write_file(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def free_large_blocks_promptly() -> None:
    """Has the C library's allocator (glibc's) give every block of 1 MiB or
    more its own mapping, returned to the system when freed. By default the
    threshold rises to the largest block freed so far, so that large blocks,
    such as those Arrow frees while reading a table, stay in the heap and add
    to the command's peak memory. The setting is the process's: only for a process that is the
    command's own."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # another C library: nothing to set
        return
    mallopt(M_MMAP_THRESHOLD, 1 << 20)


M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter
