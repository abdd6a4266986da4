"""What a search over groups costs against one search over all their rows.

    .venv/bin/python bench/groups_cost.py

n = 12 variables; 10 groups of 500 rows, 100 of 50 and 400 of 13. Prints
the best of three engine searches of the groups (each scored on its own)
and of the same rows pooled into one data set, and their ratio.
"""

from __future__ import annotations

import time

import numpy as np

import varkel
from varkel import _engine as engine

N_VARS = 12


def standardized(X: np.ndarray) -> np.ndarray:
    return np.asarray((X - X.mean(axis=0)) / X.std(axis=0))


def best_of_three(*args: object) -> float:
    times = []
    for _ in range(3):
        start = time.perf_counter()
        engine.search(*args)
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    rng = np.random.default_rng(0)
    for groups, rows in ((10, 500), (100, 50), (400, 13)):
        mixing = np.triu(rng.uniform(0.2, 0.6, (N_VARS, N_VARS)), 1)
        data = [rng.laplace(size=(rows, N_VARS)) @ mixing + rng.laplace(size=(rows, N_VARS))
                for _ in range(groups)]
        grouped = best_of_three([standardized(X) for X in data], None,
                                [varkel.reference_vector("normal", rows)] * groups)
        pooled = best_of_three(standardized(np.vstack(data)), None,
                               varkel.reference_vector("normal", groups * rows))
        print(f"{groups} groups of {rows} rows, n = {N_VARS}: groups {grouped:.2f} s, one search "
              f"over all {groups * rows} rows {pooled:.2f} s: {grouped / pooled:.1f}x")


if __name__ == "__main__":
    main()
