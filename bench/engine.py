"""The engine against _exhaustive_kernel._sink_dp and a plain NumPy search.

    .venv/bin/python bench/engine.py [--quick] [--n20] [--load]

Prints, from one run on the same data (uniform noise through a fully
connected DAG, standardised):
  1. microseconds per score on one thread for _sink_dp, the engine and a
     plain NumPy implementation of the same search (n = 12 and 14; 200, 1000
     and 5000 samples), and whether their orders agree;
  2. the engine on 1 and 2 threads (n = 14 and 16, 1000 samples);
  3. the per-call cost of a 2-variable search at threads=0;
  4. with --load, the engine's wait modes ("block", "spin") on 2 threads
     while another process keeps one core busy;
  5. with --n20, a search of 20 variables and 1000 samples on every core;
  6. how close the command line's estimate (from the first second of
     progress) comes to the real time, for n = 17 and 18;
  7. pruning: for n = 14 and 18 at 200, 1000 and 5000 samples, the share of
     candidate sinks whose sort it skips, and microseconds per
     score-equivalent (wall time / (n 2^(n-1)), 1 thread) with pruning
     forced on and off, and whether the results are bit-identical. Section 1
     runs the engine with its default (pruning from 400 samples on).

Timings are the best of a few repeats, as ratios within this run; the
machine is shared, so absolute numbers move between runs.
"""

from __future__ import annotations

import os

# The NumPy search runs on one thread, as the engine does in section 1: its
# BLAS would otherwise start a thread per processor (and keep them spinning
# between calls, taking a processor from whatever is timed next).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import math
import multiprocessing
import platform
import time

import numpy as np

import _exhaustive_kernel as kernel
import _exhaustive_testing as testing
import varkel
from varkel import _engine as engine
from varkel._progress import WorkModel

TARGET_NAMES = {1 << 4: "AVX3_SPR", 1 << 6: "AVX3_ZEN4", 1 << 7: "AVX3_DL", 1 << 8: "AVX3",
                1 << 9: "AVX2", 1 << 11: "SSE4", 1 << 12: "SSSE3", 1 << 14: "SSE2"}


def processor() -> str:
    with open("/proc/cpuinfo") as handle:
        for line in handle:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def kernel_target() -> str:
    supported = testing.supported_targets() & testing.compiled_targets()
    return next((name for bit, name in sorted(TARGET_NAMES.items()) if supported & bit), "SSE2")


def problem(n_vars: int, n_samples: int, seed: int = 0):
    X, _ = varkel.simulate_lingam(n_vars, n_samples, seed)
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    X = np.ascontiguousarray(X)
    return X, engine.gram(X), varkel.reference_vector("normal", n_samples)


def numpy_search(X: np.ndarray, C: np.ndarray, R: np.ndarray) -> list[int]:
    """The same search in plain NumPy: every subset in increasing mask order,
    every member as the sink, the score from a least-squares solve on C."""
    n_samples, n = X.shape
    best = np.zeros(1 << n, dtype=np.float32)
    sink = np.full(1 << n, -1)
    for subset in range(1, 1 << n):
        members = [j for j in range(n) if subset >> j & 1]
        best_here, sink_here = -math.inf, -1
        for target in members:
            parents = [j for j in members if j != target]
            if parents:
                beta = np.linalg.solve(C[np.ix_(parents, parents)], C[parents, target])
                residuals = X[:, target] - X[:, parents] @ beta
                rss = C[target, target] - C[target, parents] @ beta
            else:
                residuals, rss = X[:, target], C[target, target]
            z = np.sort(residuals / math.sqrt(rss / n_samples))
            score = np.float32(np.mean((z - R) ** 2))
            candidate = score + best[subset ^ (1 << target)]
            if candidate > best_here:
                best_here, sink_here = candidate, target
        best[subset], sink[subset] = best_here, sink_here
    return varkel.order_from_sinks(sink, n)


def best_time(run, repeats: int = 3) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def per_score(seconds: float, n: int) -> float:
    return seconds / (n * 2 ** (n - 1)) * 1e6


def compare_implementations(sizes, samples_list) -> None:
    print(f"{'n':>3} {'samples':>8} {'_sink_dp':>10} {'engine':>9} {'NumPy':>9} "
          f"{'vs _sink_dp':>12} {'vs NumPy':>9}  orders agree   (us per score, 1 thread)")
    for n in sizes:
        for samples in samples_list:
            X, C, R = problem(n, samples)
            repeats = 1 if samples * 2**n > 2**24 else 3
            reference = best_time(lambda: kernel._sink_dp(X, C, R, n, 1), repeats)
            ours = best_time(lambda: engine.search(X, C, R, threads=1), 3)
            start = time.perf_counter()
            plain_order = numpy_search(X, C, R)
            plain = time.perf_counter() - start
            sinks, _ = engine.search(X, C, R, threads=1)
            agree = varkel.order_from_sinks(sinks, n) == plain_order
            print(f"{n:>3} {samples:>8} {per_score(reference, n):>10.2f} "
                  f"{per_score(ours, n):>9.2f} {per_score(plain, n):>9.2f} "
                  f"{reference / ours:>11.1f}x {plain / ours:>8.1f}x  {agree}", flush=True)


def thread_scaling(sizes) -> None:
    print(f"\n{'n':>3} {'1 thread s':>11} {'2 threads s':>12} {'speed-up':>9}   (engine, 1000 "
          "samples)")
    for n in sizes:
        X, C, R = problem(n, 1000)
        engine.search(X, C, R)  # first use: pool start-up, page faults
        one = best_time(lambda: engine.search(X, C, R, threads=1))
        two = best_time(lambda: engine.search(X, C, R, threads=2))
        print(f"{n:>3} {one:>11.3f} {two:>12.3f} {one / two:>8.2f}x", flush=True)


def small_call_overhead() -> None:
    X, C, R = problem(2, 100)
    for threads in (0, 1):
        times = []
        for _ in range(200):
            start = time.perf_counter()
            engine.search(X, C, R, threads=threads)
            times.append(time.perf_counter() - start)
        print(f"\nn = 2, 100 samples, threads={threads}: median {np.median(times) * 1e3:.3f} ms "
              f"per call, worst {max(times) * 1e3:.3f} ms")


def _busy(stop) -> None:
    x = 0
    while not stop.is_set():
        x += 1


def wait_modes_under_load() -> None:
    X, C, R = problem(14, 1000)
    print(f"\n{'wait':>6} {'idle 2 thr':>11} {'loaded 1 thr':>13} {'loaded 2 thr':>13}  "
          "(engine, n = 14, 1000 samples; load: one busy process)")
    for wait in ("block", "spin"):
        idle = best_time(lambda: engine.search(X, C, R, threads=2, wait=wait))
        stop = multiprocessing.Event()
        hog = multiprocessing.Process(target=_busy, args=(stop,))
        hog.start()
        try:
            one = best_time(lambda: engine.search(X, C, R, threads=1, wait=wait))
            two = best_time(lambda: engine.search(X, C, R, threads=2, wait=wait))
        finally:
            stop.set()
            hog.join()
        print(f"{wait:>6} {idle:>10.3f}s {one:>12.3f}s {two:>12.3f}s", flush=True)


def twenty_variables() -> None:
    X, C, R = problem(20, 1000)
    start = time.perf_counter()
    engine.search(X, C, R)
    seconds = time.perf_counter() - start
    print(f"\nn = 20, 1000 samples, all processors: {seconds:.1f} s "
          f"({per_score(seconds, 20) * len(os.sched_getaffinity(0)):.2f} us per score per "
          "thread)")


def estimate_accuracy(sizes) -> None:
    print(f"\n{'n':>3} {'estimate s':>11} {'actual s':>9} {'ratio':>6}   (the command line's "
          "estimate after one second of progress)")
    for n in sizes:
        X, C, R = problem(n, 1000)
        model = WorkModel(n)
        start = time.perf_counter()
        estimate = []

        def progress(done: int, total: int) -> None:
            elapsed = time.perf_counter() - start
            if not estimate and elapsed >= 1.0 and done < total:
                estimate.append(elapsed * model.total / model.done(done))

        engine.search(X, C, R, progress=progress, progress_interval=0.1)
        actual = time.perf_counter() - start
        print(f"{n:>3} {estimate[0]:>11.1f} {actual:>9.1f} {estimate[0] / actual:>6.2f}")


def pruning(sizes, samples_list) -> None:
    print(f"\n{'n':>3} {'samples':>8} {'skipped':>8} {'pruned':>8} {'unpruned':>9} "
          f"{'speed-up':>9}  bits   (us per score-equivalent, 1 thread)")
    for n in sizes:
        for samples in samples_list:
            X, C, R = problem(n, samples)
            repeats = 1 if samples * 2**n > 2**24 else 3
            runs = {}
            for prune in (True, False):
                searches = []

                def run(prune=prune, searches=searches) -> None:
                    searches.append(engine.Search(X, C, R, threads=1, prune=prune))
                    searches[-1].run()

                seconds = best_time(run, repeats)
                last = searches[-1]
                runs[prune] = (seconds, (last.sinks, last.total), last.skipped / last.scores)
            (pruned, got, share), (plain, want, _) = runs[True], runs[False]
            same = np.array_equal(got[0], want[0]) and \
                np.float64(got[1]).tobytes() == np.float64(want[1]).tobytes()
            print(f"{n:>3} {samples:>8} {share:>8.1%} {per_score(pruned, n):>8.2f} "
                  f"{per_score(plain, n):>9.2f} {plain / pruned:>8.2f}x  {same}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="n = 12 only, 200 and 1000 samples")
    parser.add_argument("--n20", action="store_true", help="also time n = 20 on all cores")
    parser.add_argument("--load", action="store_true", help="also compare wait modes under load")
    parser.add_argument("--pruning", action="store_true",
                        help="only the pruning comparison (section 7) and section 1")
    options = parser.parse_args()
    plan = engine.plan(12, 1000)
    print(f"processor: {processor()}, {len(os.sched_getaffinity(0))} processors; kernel "
          f"target {kernel_target()}; engine sort {plan['sort']}\n")
    sizes = (12,) if options.quick else (12, 14)
    samples = (200, 1000) if options.quick else (200, 1000, 5000)
    compare_implementations(sizes, samples)
    if options.pruning:
        pruning((14, 18), (200, 1000, 5000))
        return
    thread_scaling((14,) if options.quick else (14, 16))
    small_call_overhead()
    if options.load:
        wait_modes_under_load()
    if options.n20:
        twenty_variables()
    if not options.quick:
        estimate_accuracy((17, 18))
        pruning((14, 18), (200, 1000, 5000))


if __name__ == "__main__":
    main()
