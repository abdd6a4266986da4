"""Wall time of _sink_dp for 1, 2 and all threads (num_threads = 0).

    .venv/bin/python bench/threads.py [--sizes 12 14 16] [--samples 1000]

Prints seconds (best of --repeats), the speed-up against one thread, and
microseconds per score evaluation (a search over n variables makes
n * 2^(n-1) of them).
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import _exhaustive_kernel as kernel


def problem(n_vars: int, n_samples: int):
    rng = np.random.default_rng(n_vars)
    X = rng.uniform(-1.0, 1.0, (n_samples, n_vars))
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    R = np.sort(rng.standard_normal(n_samples))
    return X, X.T @ X, R


def best_time(args, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        kernel._sink_dp(*args)
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[12, 14, 16])
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()

    print(f"{'n':>3} {'threads':>8} {'seconds':>10} {'speed-up':>9} {'us/score':>9}")
    for n in options.sizes:
        X, C, R = problem(n, options.samples)
        scores = n * 2 ** (n - 1)
        repeats = options.repeats if n < 16 else 1
        baseline = None
        for threads in (1, 2, 0):
            seconds = best_time((X, C, R, n, threads), repeats)
            baseline = baseline or seconds
            label = "0 (all)" if threads == 0 else str(threads)
            print(f"{n:>3} {label:>8} {seconds:>10.3f} {baseline / seconds:>8.2f}x "
                  f"{seconds / scores * 1e6:>9.2f}")


if __name__ == "__main__":
    main()
