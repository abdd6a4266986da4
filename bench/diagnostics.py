"""How often each diagnostic kind fires: on simulated data that meet the
model (false alarms) and on data that break the assumption the kind names
(detection). Prints one table per measure, then the order's accuracy by
samples per variable (which sets the few-samples threshold).

    .venv/bin/python bench/diagnostics.py [--sets 50] [--workers 2]

Data meeting the model: a random sparse DAG (each pair an edge with
probability 2 / n, at least one edge), weights of 0.5 to 1.5 with random
signs, independent standardised noise of one kind (uniform, Laplace,
exponential, Student-t with 5 degrees of freedom), or of a kind drawn per
variable ("mixed"), and a random offset per column. Data breaking an
assumption start from mixed noise:

- near-Gaussian: one variable's noise Gaussian;
- dependent residuals: a hidden common cause (mixed noise) of two
  variables, with weights of 0.5 to 1.5 and random signs;
- discrete: every column rounded to 3 to 10 levels over its range;
- heavy tails: every column standardised and exponentiated, as
  log-normal measurements are;
- few samples: 10 samples per variable (the search needs 20).

The non-stationarity warning of time series is measured on stable VAR
processes of 3 series (false alarms) and on the same with one series
replaced by a random walk (detection).

A further row, "rounded, 300 levels", rounds every column to 300 levels:
continuous measurements with rounding, which must not be called discrete.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import varkel
from _machine import processor_name
from varkel._diagnostics import KINDS

NOISES = ("uniform", "laplace", "exponential", "t5", "mixed")
SIZES = (2, 5, 10)
SAMPLES = (100, 1000, 5000)
BREAKS = ("near-Gaussian", "dependent residuals", "discrete", "heavy tails", "few samples")


def noise(rng: np.random.Generator, kind: str, m: int) -> np.ndarray:
    if kind == "mixed":
        kind = str(rng.choice(NOISES[:4]))
    draw = {"uniform": lambda: rng.uniform(-1, 1, m), "laplace": lambda: rng.laplace(size=m),
            "exponential": lambda: rng.exponential(size=m), "t5": lambda: rng.standard_t(5, m),
            "gaussian": lambda: rng.standard_normal(m)}[kind]()
    return (draw - draw.mean()) / draw.std()


def simulate(rng: np.random.Generator, n: int, m: int, kind: str, broken: str | None
             ) -> tuple[np.ndarray, np.ndarray]:
    """The data, and which columns are ancestors of which: [a, d] true when
    column a is an ancestor of column d."""
    B = np.zeros((n, n))
    while n > 1 and not B.any():
        B = np.tril(rng.uniform(0.5, 1.5, (n, n)) * rng.choice([-1.0, 1.0], (n, n))
                    * (rng.uniform(size=(n, n)) < min(1.0, 2.0 / n)), -1)
    E = np.column_stack([noise(rng, kind, m) for _ in range(n)])
    if broken == "near-Gaussian":
        E[:, rng.integers(n)] = noise(rng, "gaussian", m)
    if broken == "dependent residuals":
        pair = rng.choice(n, 2, replace=False)
        E[:, pair] += np.outer(noise(rng, "mixed", m),
                               rng.uniform(0.5, 1.5, 2) * rng.choice([-1.0, 1.0], 2))
    X = np.linalg.solve(np.eye(n) - B, E.T).T
    permutation = rng.permutation(n)
    X = X[:, permutation] + rng.uniform(-5, 5, n)
    reach = np.linalg.matrix_power(np.eye(n) + (B != 0), n).T > 0  # [a, d]: a reaches d
    np.fill_diagonal(reach, False)
    ancestors = reach[np.ix_(permutation, permutation)]
    if broken == "discrete":
        levels = rng.integers(3, 11, n)
        X = np.round((X - X.min(0)) / np.ptp(X, 0) * (levels - 1))
    if broken == "rounded":
        X = np.round((X - X.min(0)) / np.ptp(X, 0) * 299)
    if broken == "heavy tails":
        X = np.exp((X - X.mean(0)) / X.std(0))
    return X, ancestors


def ancestors_first(order: list[int], ancestors: np.ndarray) -> float:
    """The share of ancestor-descendant pairs the order puts right."""
    position = np.argsort(order)
    a, d = np.nonzero(ancestors)
    return float(np.mean(position[a] < position[d])) if a.size else 1.0


def run_cell(seed: int, n: int, m: int, kind: str, broken: str | None
             ) -> tuple[set[str], float]:
    """The kinds that fire, as a user calling diagnostics meets them, and
    the share of ancestor pairs the found order puts right."""
    X, ancestors = simulate(np.random.default_rng(seed), n, m, kind, broken)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            model = varkel.ExhaustiveLiNGAM(margins=False, threads=1).fit(X)
            return ({d.kind for d in model.diagnostics(X)},
                    ancestors_first(model.causal_order_, ancestors))
        except varkel.InputError:
            return {"refused"}, float("nan")


def table(title: str, rows: dict[str, list[str]], columns: list[str]) -> None:
    print(f"\n{title}")
    width = max(len(r) for r in rows) + 2
    print(" " * width + "  ".join(f"{c:>11}" for c in columns))
    for label, cells in rows.items():
        print(f"{label:<{width}}" + "  ".join(f"{c:>11}" for c in cells))


def rate(results: list[tuple[set[str], float]], kind: str) -> str:
    return f"{100.0 * sum(kind in r for r, _ in results) / len(results):.0f}%"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sets", type=int, default=50)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--series-only", action="store_true",
                        help="only the time series' non-stationarity table")
    options = parser.parse_args()
    print(f"processor: {processor_name()}; kernel arithmetic "
          f"{varkel._engine.plan(0, 0)['arithmetic']}; {options.sets} data sets per cell")
    started = time.perf_counter()
    if options.series_only:
        series_table(options.sets)
        return
    cells = [(n, m) for n in SIZES for m in SAMPLES]
    with ThreadPoolExecutor(options.workers) as pool:
        def results(n: int, m: int, kind: str, broken: str | None
                    ) -> list[tuple[set[str], float]]:
            base = zlib.crc32(repr((n, m, kind, broken)).encode()) & 0xFFFF
            return list(pool.map(lambda s: run_cell(base * 1000 + s, n, m, kind, broken),
                                 range(options.sets)))

        clean = {(n, m, kind): results(n, m, kind, None) for n, m in cells for kind in NOISES}
        for watched in KINDS:
            rows = {f"n={n} m={m}": [rate(clean[n, m, kind], watched) for kind in NOISES]
                    for n, m in cells}
            table(f"false alarms: {watched}", rows, list(NOISES))
        broken_rows = {}
        for broken in BREAKS:
            hits = []
            for n, m in cells:
                thinned = 10 * n if broken == "few samples" else m
                found = results(n, thinned, "mixed", None if broken == "few samples" else broken)
                hits.append(rate(found, broken))
            broken_rows[broken] = hits
        rounded = [rate(results(n, m, "mixed", "rounded"), "discrete") for n, m in cells]
        broken_rows["discrete on rounded, 300 levels (false alarm)"] = rounded
        table("detection (mixed noise; few samples: thinned to 10 per variable)",
              {f"n={n} m={m}": [row[k] for row in broken_rows.values()]
               for k, (n, m) in enumerate(cells)}, ["near-Gaussian", "dependent", "discrete",
                                                    "heavy tails", "few samples",
                                                    "300 levels"])
        accuracy = {}
        for n in (5, 10):
            shares = []
            for per_variable in (5, 10, 20, 40, 100):
                found = results(n, per_variable * n, "mixed", None)
                shares.append(f"{100.0 * np.nanmean([share for _, share in found]):.0f}%")
            accuracy[f"n={n}"] = shares
        table("ancestor pairs ordered right, clean mixed noise, by samples per variable",
              accuracy, ["5", "10", "20", "40", "100"])
    series_table(options.sets)
    print(f"\n{time.perf_counter() - started:.0f} s")


def series_kinds(seed: int, T: int, walk: bool) -> set[str]:
    """The kinds VARExhaustiveLiNGAM's diagnostics give on a stable simulated
    process of 3 series, or on the same with one series replaced by a
    random walk (non-stationary)."""
    X = varkel.simulate_var(3, T, seed, noise="laplace").X
    if walk:
        X[:, 0] = np.cumsum(np.random.default_rng(seed).laplace(size=T))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return {d.kind for d in varkel.VARExhaustiveLiNGAM(threads=1).fit(X).diagnostics(X)}


def series_table(sets: int) -> None:
    rows = {}
    for T in (200, 1000, 5000):
        stable = [series_kinds(seed, T, False) for seed in range(sets)]
        walks = [series_kinds(seed, T, True) for seed in range(sets)]
        rows[f"T={T}"] = [f"{100.0 * sum('non-stationary' in k for k in stable) / sets:.0f}%",
                          f"{100.0 * sum('non-stationary' in k for k in walks) / sets:.0f}%"]
    table("non-stationary: 3 series, Laplace noise", rows, ["false alarm", "detection"])


main()
