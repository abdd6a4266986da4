"""What the engine's residual buffers cost and save on a long table.

    .venv/bin/python bench/candidate_buffers.py [--samples 1400000] [--vars 10]

With pruning, a worker computes the residuals of several candidate sinks of
a subset at once, one buffer the size of a column each, so that each
member's column is read once for all of them. On a long table the engine
keeps the buffers of all workers within half the size of the data (at
least one per worker). This prints the wall time of one search on every
processor with 1, 2, 4 and all (one per variable) buffers per worker,
alternating twice, and the buffers' memory, on simulated data (Laplace
noise through a chain).
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import varkel
from _machine import processor_name
from varkel import _engine
from varkel._search import prepare_search


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_400_000)
    parser.add_argument("--vars", type=int, default=10)
    options = parser.parse_args()
    rng = np.random.default_rng(0)
    X = varkel.column_table(options.samples, options.vars)
    X[:] = rng.laplace(size=X.shape)
    for j in range(1, options.vars):
        X[:, j] += 0.5 * X[:, j - 1]
    prepared = prepare_search(X, overwrite=True)
    threads = _engine.plan(options.vars, options.samples)["threads"]
    print(f"processor: {processor_name()}, {os.cpu_count()} logical processors, "
          f"kernel target {_engine.plan(0, 0)['arithmetic']}; {options.samples} samples, "
          f"{options.vars} variables, {threads} workers; data {X.nbytes / 2**20:.0f} MiB")
    best: dict[int, float] = {}
    for buffers in [1, 2, 4, options.vars] * 2:
        start = time.perf_counter()
        _engine.search(prepared.searched, None, prepared.reference_vector,
                       candidate_buffers=buffers)
        seconds = time.perf_counter() - start
        best[buffers] = min(best.get(buffers, seconds), seconds)
    for buffers, seconds in best.items():
        memory = buffers * threads * options.samples * 8 / 2**20
        print(f"{buffers:3d} buffers per worker: best {seconds:6.2f} s, "
              f"{seconds / best[options.vars]:5.2f}x the time with all; buffers {memory:5.0f} MiB")


main()
