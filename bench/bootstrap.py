"""The bootstrap on 1 and 2 workers, on whichever interpreter runs this.

    python bench/bootstrap.py            (any interpreter with varkel installed)

n = 10 variables, 1000 samples, 40 resamples of a sparse simulated DAG.
Prints the interpreter (free-threaded or with a global lock, which decides
whether the workers are threads or processes), the best of two runs for 1
and for 2 workers, their ratio, and whether both gave identical results.
"""

from __future__ import annotations

import os
import platform
import sys
import time

import varkel
from _machine import processor_name
from varkel._parallel import interpreter_has_lock


def main() -> None:
    sim = varkel.simulate_dag(10, 1000, seed=1, edge_probability=0.3)
    lock = interpreter_has_lock()
    kind = "global lock: worker processes" if lock else "free-threaded: worker threads"
    print(f"Python {platform.python_version()} ({kind}); "
          f"{processor_name()}, {os.cpu_count()} logical processors")
    results, seconds = {}, {}
    for workers in (1, 2):
        best = float("inf")
        for _ in range(2):
            model = varkel.ExhaustiveLiNGAM(threads=workers, random_state=0, margins=False)
            start = time.perf_counter()
            results[workers] = model.bootstrap(sim.X, 40)
            best = min(best, time.perf_counter() - start)
        seconds[workers] = best
        print(f"{workers} worker{'s' if workers > 1 else ' '}: {best:6.2f} s")
    print(f"speed-up on 2 workers: {seconds[1] / seconds[2]:.2f}x; identical results: "
          f"{results[1] == results[2]}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
