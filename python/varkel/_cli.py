"""Command line: python -m varkel order FILE.csv | python -m varkel demo."""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
import threading
import time
from typing import Optional, Sequence

import numpy as np

from _exhaustive_kernel import _sink_dp
from varkel._api import (MAX_VARS, REFERENCES, InputError, _as_data_matrix, _refuse_constant,
                         causal_order, reference_vector)
from varkel._simulate import pair_agreement, simulate_lingam

# Searches expected to take longer than this get an estimate first and a
# running clock on standard error.
ANNOUNCE_SECONDS = 3.0
CALIBRATION_VARS = 6


class UsageError(Exception):
    """Bad input on the command line: reported in one line, exit status 2."""


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def read_csv(path: str, header: Optional[bool]) -> tuple[list[str], np.ndarray]:
    """Reads a numeric CSV. header=None: the first row is a header when any
    of its cells is not a number."""
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            rows = [row for row in csv.reader(handle) if row and any(c.strip() for c in row)]
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    except (UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"{path} is not a readable CSV file: {error}") from None
    if not rows:
        raise UsageError(f"{path} holds no rows")
    if header is None:
        header = not all(_is_number(cell) for cell in rows[0])
    names = [c.strip() for c in rows[0]] if header else [f"x{j}" for j in range(len(rows[0]))]
    body = rows[1:] if header else rows
    width = len(names)
    values = []
    for line, row in enumerate(body, start=2 if header else 1):
        if len(row) != width:
            raise UsageError(f"{path}, row {line}: {len(row)} cells where the first row has "
                             f"{width}")
        try:
            values.append([float(cell) for cell in row])
        except ValueError:
            bad = next(c for c in row if not _is_number(c))
            raise UsageError(f"{path}, row {line}: {bad.strip()!r} is not a number") from None
    if width > MAX_VARS:
        raise UsageError(f"{path} has {width} columns; at most {MAX_VARS} can be searched")
    if len(values) < max(width, 2):
        raise UsageError(f"{path} has {len(values)} data rows for {width} columns; it needs "
                         f"at least {max(width, 2)}")
    return names, np.array(values)


def score_count(n_vars: int) -> int:
    return n_vars * 2 ** (n_vars - 1) if n_vars else 0


def estimate_seconds(X: np.ndarray, threads: int) -> float:
    """Times a search on the first few columns (all samples) and scales it
    by the number of score evaluations; larger parent sets cost a little more
    per score, so this errs low."""
    n_samples, n_vars = X.shape
    k = min(n_vars, CALIBRATION_VARS)
    sample = np.ascontiguousarray(X[:, :k])
    sample = (sample - sample.mean(axis=0)) / sample.std(axis=0)
    R = reference_vector("normal", n_samples)
    start = time.perf_counter()
    _sink_dp(sample, sample.T @ sample, R, k, threads)
    elapsed = time.perf_counter() - start
    return elapsed / score_count(k) * score_count(n_vars)


class ElapsedClock:
    """Shows the elapsed time on standard error while a search runs."""

    def __init__(self) -> None:
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._start = time.perf_counter()

    def _run(self) -> None:
        interactive = sys.stderr.isatty()
        period = 1.0 if interactive else 10.0
        while not self._stop.wait(period):
            text = f"searching... {time.perf_counter() - self._start:.0f} s elapsed"
            print(f"\r{text}" if interactive else text, end="" if interactive else "\n",
                  file=sys.stderr, flush=True)

    def __enter__(self) -> "ElapsedClock":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        if sys.stderr.isatty():
            print(file=sys.stderr)


def run_search(X: np.ndarray, reference: str, threads: int):
    X = _as_data_matrix(X)  # refuse bad data before spending time on calibration
    _refuse_constant(X)
    n_vars = X.shape[1]
    if n_vars > CALIBRATION_VARS:
        estimate = estimate_seconds(X, threads)
        if estimate > ANNOUNCE_SECONDS:
            print(f"{score_count(n_vars):,} score evaluations, estimated "
                  f"{estimate:.0f} s or more", file=sys.stderr, flush=True)
            with ElapsedClock():
                return causal_order(X, reference=reference, threads=threads)
    return causal_order(X, reference=reference, threads=threads)


def command_order(options: argparse.Namespace) -> int:
    names, X = read_csv(options.file, header=False if options.no_header else None)
    result = run_search(X, options.reference, options.threads)
    ordered = [names[j] for j in result.order]
    if options.json:
        print(json.dumps({"order": ordered, "order_indices": result.order,
                          "total": result.total, "reference": result.reference,
                          "n_samples": int(X.shape[0])}))
    else:
        print(" -> ".join(ordered))
    return 0


def command_demo(options: argparse.Namespace) -> int:
    if not 1 <= options.vars <= MAX_VARS:
        raise UsageError(f"--vars must be between 1 and {MAX_VARS}")
    if options.samples < max(options.vars, 2):
        raise UsageError(f"--samples must be at least {max(options.vars, 2)}")
    X, truth = simulate_lingam(options.vars, options.samples, options.seed)
    start = time.perf_counter()
    result = run_search(X, "normal", options.threads)
    elapsed = time.perf_counter() - start
    print(f"simulated {options.samples} samples of {options.vars} variables "
          f"(fully connected linear DAG, uniform noise, seed {options.seed})")
    print(f"true order:      {truth}")
    print(f"recovered order: {result.order}")
    print(f"ordered pairs recovered: {pair_agreement(truth, result.order):.3f}")
    print(f"search: {score_count(options.vars):,} scores in {elapsed:.2f} s")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m varkel", description=(
        "Exhaustive causal ordering of linear non-Gaussian data."))
    commands = parser.add_subparsers(dest="command", required=True)

    order = commands.add_parser("order", help="order the columns of a numeric CSV file")
    order.add_argument("file", metavar="FILE.csv")
    order.add_argument("--threads", type=int, default=0, metavar="N",
                       help="worker threads (default 0: all processors)")
    order.add_argument("--reference", choices=REFERENCES, default="normal")
    order.add_argument("--no-header", action="store_true",
                       help="the first row is data (default: a header if any cell is not a "
                            "number)")
    order.add_argument("--json", action="store_true", help="print the result as JSON")
    order.set_defaults(run=command_order)

    demo = commands.add_parser("demo", help="simulate data with a known order and recover it")
    demo.add_argument("--vars", type=int, default=8, metavar="N")
    demo.add_argument("--samples", type=int, default=2000, metavar="M")
    demo.add_argument("--seed", type=int, default=0, metavar="S")
    demo.add_argument("--threads", type=int, default=0, metavar="N")
    demo.set_defaults(run=command_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if getattr(options, "threads", 0) < 0:
        parser.error("--threads must be 0 or more")
    try:
        return options.run(options)
    except (UsageError, InputError) as error:
        print(f"python -m varkel: error: {error}", file=sys.stderr)
        return 2
