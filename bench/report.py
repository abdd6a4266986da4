"""The HTML report's size and the time it takes to write, beyond the fit and
the bootstrap.

    .venv/bin/python bench/report.py

Size: n = 30 (three tiers of 10, so that 200 resamples take seconds) with a
200-resample bootstrap. Time: n = 12 with a 100-resample bootstrap; the
first report of a process also imports matplotlib and reads its font
cache, so both the first and a later report are timed.
"""

from __future__ import annotations

import os
import tempfile
import time

import varkel
from _machine import processor_name
from varkel import _engine


def timed_report(model: varkel.ExhaustiveLiNGAM, X: object, boot: object, path: str) -> float:
    started = time.perf_counter()
    model.report(X, path, boot)
    return time.perf_counter() - started


def main() -> None:
    print(f"processor: {processor_name()}; kernel arithmetic {_engine.plan(0, 0)['arithmetic']}")
    folder = tempfile.mkdtemp()
    X = varkel.simulate_dag(12, 1000, seed=1, edge_probability=0.3).X
    started = time.perf_counter()
    model = varkel.ExhaustiveLiNGAM(random_state=0).fit(X)
    boot = model.bootstrap(X, 100)
    fit_seconds = time.perf_counter() - started
    first = timed_report(model, X, boot, os.path.join(folder, "n12.html"))
    later = min(timed_report(model, X, boot, os.path.join(folder, "n12.html"))
                for _ in range(3))
    print(f"n = 12, 1000 samples, 100 resamples: fit and bootstrap {fit_seconds:.2f} s; "
          f"report {first:.2f} s (first in the process), {later:.2f} s (later)")
    X = varkel.simulate_dag(30, 1000, seed=2, edge_probability=0.1).X
    tiers = [list(range(k, k + 10)) for k in (0, 10, 20)]
    model = varkel.ExhaustiveLiNGAM(random_state=0, tiers=tiers).fit(X)
    boot = model.bootstrap(X, 200)
    path = os.path.join(folder, "n30.html")
    seconds = timed_report(model, X, boot, path)
    size = os.path.getsize(path)
    print(f"n = 30, 1000 samples, 200 resamples: report {size / 1e6:.2f} MB "
          f"({seconds:.2f} s to write)")


main()
