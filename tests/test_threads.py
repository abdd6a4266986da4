"""Thread counts, concurrent callers and the released interpreter lock."""

from __future__ import annotations

import gc
import math
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _exhaustive_kernel as kernel
from conftest import f64_bits, make_problem, run_python


def awkward_problem(kind: str):
    """Data whose scores include NaN, infinities and exact ties."""
    X, C, R = make_problem(9, 40, seed=21)
    if kind == "ties-and-singular":
        X[:, 4] = X[:, 1]                             # singular pairs: NaN scores
        X[:, 6] = X[:, 0].reshape(-1, 2)[:, ::-1].ravel()  # exact ties with column 0
        C = X.T @ X
    elif kind == "nan-column":
        C[7, 7] = np.nan                              # every score touching 7 is NaN
    elif kind == "infinite-reference":
        R[-1] = np.inf                                # every score is +inf
    elif kind == "mixed-signs-of-infinity":
        R[0], R[-1] = -np.inf, np.inf                 # inf - inf: NaN scores
    return X, C, R


@pytest.mark.parametrize(
    "kind",
    ["plain", "ties-and-singular", "nan-column", "infinite-reference", "mixed-signs-of-infinity"],
)
def test_every_thread_count_gives_identical_bits(kind):
    X, C, R = awkward_problem(kind)
    sinks, total = kernel._sink_dp(X, C, R, 9, 1)
    # 130 asks for more workers than the pool takes (it clamps them itself);
    # with spinning workers on few cores that is slow, so only some kinds.
    oversubscribed = kind in ("ties-and-singular", "mixed-signs-of-infinity")
    counts = (2, 3, 0, 130) if oversubscribed else (2, 3, 0)
    for threads in counts:
        other_sinks, other_total = kernel._sink_dp(X, C, R, 9, threads)
        assert np.array_equal(other_sinks, sinks), threads
        assert f64_bits(other_total) == f64_bits(total), threads
    if kind == "nan-column":
        assert total == -math.inf


def test_many_python_threads_calling_at_once():
    jobs = [(n, samples, threads)
            for n in (3, 6, 8, 10) for samples in (5, 33) for threads in (0, 1, 2, 3)]
    problems = {(n, s): make_problem(n, s, seed=n * 100 + s) for n, s, _ in jobs}
    alone = {(n, s): kernel._sink_dp(*problems[n, s], n, 1) for n, s, _ in jobs}

    def run(job):
        n, samples, threads = job
        return job, kernel._sink_dp(*problems[n, samples], n, threads)

    with ThreadPoolExecutor(max_workers=12) as pool:
        for (n, samples, _), (sinks, total) in pool.map(run, jobs * 2):
            want_sinks, want_total = alone[n, samples]
            assert np.array_equal(sinks, want_sinks)
            assert f64_bits(total) == f64_bits(want_total)


class AnnouncingCount:
    """A thread count that records when the module converts it. It is the
    last argument converted, and its __index__ runs no Python code after the
    record, so the search itself is all that remains of the call."""

    def __init__(self, value: int) -> None:
        self.value, self.converted = value, []

    def __index__(self) -> int:
        self.converted.append(True)
        return self.value


def seconds_of(action, repeats: int = 1) -> float:
    """The shortest of `repeats` timings of action()."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def problem_outlasting(seconds: float, threads: int):
    """A search that takes at least `seconds` here and now, found by growing
    the number of variables from a timing of this processor under its
    present load; capped at 16 variables."""
    for n_vars in range(10, 17):
        X, C, R = make_problem(n_vars, 300, seed=5)
        if n_vars == 16 or seconds_of(lambda: kernel._sink_dp(X, C, R, n_vars, threads)) \
                >= seconds:
            return X, C, R, n_vars
    raise AssertionError("unreachable")


@pytest.mark.parametrize("threads", [1, 2])
def test_lock_is_released_during_the_search(threads):
    # On the free-threaded interpreter a full collection stops the world: it
    # waits for every thread that holds its thread state. A search that
    # detached its state lets collections run back to back while it works;
    # one that kept it lets the first collection finish only after the search
    # returned, so at most two collections could end before the result is
    # seen. How many fit into a search depends on the processor, its load and
    # the objects alive, so the search is sized from timings taken here:
    # at least 40 collections' worth, of which 10 must be seen.
    collection = seconds_of(gc.collect, repeats=3)
    X, C, R, n_vars = problem_outlasting(40 * collection, threads)
    count = AnnouncingCount(threads)
    result = []

    def search():
        result.append(kernel._sink_dp(X, C, R, n_vars, count))

    worker = threading.Thread(target=search)
    worker.start()
    while not count.converted:
        pass
    collections = 0
    while not result:
        gc.collect()
        collections += 1
    worker.join()
    assert collections >= 10, (collections, n_vars, collection)
    assert np.array_equal(result[0][0], kernel._sink_dp(X, C, R, n_vars, 1)[0])


def test_single_cpu_affinity_with_automatic_count():
    done = run_python("""
        import os, numpy as np, _exhaustive_kernel as k
        rng = np.random.default_rng(3)
        X = rng.standard_normal((50, 8)); C = X.T @ X; R = np.sort(rng.standard_normal(50))
        want = k._sink_dp(X, C, R, 8, 1)
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        got = k._sink_dp(X, C, R, 8, 0)
        print(np.array_equal(got[0], want[0]) and got[1] == want[1])
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "True"
