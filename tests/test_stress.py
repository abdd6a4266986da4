"""Many Python threads mixing calls, and running out of memory."""

from __future__ import annotations

import os
import random
import threading

import numpy as np
import pytest

import _exhaustive_kernel as kernel
from conftest import f64_bits, make_problem, run_in_threads, run_python

SANITIZED = bool(os.environ.get("VARKEL_SANITIZED"))


def resident_bytes() -> int:
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_calls(rng: random.Random, problems, count: int):
    """Successful calls (sizes, thread counts 0..8) mixed with failing ones."""
    calls = []
    for _ in range(count):
        n, samples = rng.choice(list(problems))
        X, C, R = problems[n, samples]
        threads = rng.randint(0, 8)
        kind = rng.choice(["ok", "ok", "ok", "short-R", "bad-type", "bad-n"])
        if kind == "ok":
            calls.append(((X, C, R, n, threads), (n, samples)))
        elif kind == "short-R":
            calls.append(((X, C, R[:-1], n, threads), ValueError))
        elif kind == "bad-type":
            calls.append(((X, C, R, "n", threads), TypeError))
        else:
            calls.append(((X, C, R, 31, threads), ValueError))
    return calls


def run_stress(problems, alone, n_threads=8, calls_each=20, seed=0):
    start = threading.Barrier(n_threads)

    def worker(index):
        rng = random.Random(seed * 1000 + index)
        start.wait()
        for args, expected in make_calls(rng, problems, calls_each):
            if isinstance(expected, type):
                with pytest.raises(expected):
                    kernel._sink_dp(*args)
            else:
                sinks, total = kernel._sink_dp(*args)
                want_sinks, want_total = alone[expected]
                assert np.array_equal(sinks, want_sinks)
                assert f64_bits(total) == f64_bits(want_total)

    run_in_threads(worker, n_threads)


def test_eight_threads_mixing_calls():
    problems = {(n, s): make_problem(n, s, seed=n * 7 + s) for n in (1, 3, 5, 7) for s in (4, 30)}
    alone = {key: kernel._sink_dp(*problems[key], key[0], 1) for key in problems}
    run_stress(problems, alone, calls_each=5, seed=1)  # warm-up: first-use allocations settle
    before = resident_bytes()
    run_stress(problems, alone, seed=2)
    growth = resident_bytes() - before
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory back on purpose
        assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


@pytest.mark.skipif(SANITIZED, reason="address-space limits break the sanitizer's shadow memory")
@pytest.mark.parametrize("threads", [1, 4])
def test_out_of_memory_is_memory_error(threads):
    # Limit the address space to what is mapped now plus 1 GiB, then ask for
    # 2^28 subsets (about 3 GiB of tables).
    done = run_python(f"""
        import resource, numpy as np, _exhaustive_kernel as k
        X = np.random.default_rng(0).standard_normal((40, 28))
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, resource.RLIM_INFINITY))
        try:
            k._sink_dp(X, X.T @ X, np.sort(X[:, 0]), 28, {threads})
        except MemoryError:
            print("MemoryError")
        small = np.random.default_rng(1).standard_normal((20, 3))
        sinks, total = k._sink_dp(small, small.T @ small, np.sort(small[:, 0]), 3, {threads})
        print("usable", sinks.shape)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["MemoryError", "usable (8,)"]


@pytest.mark.skipif(SANITIZED, reason="address-space limits break the sanitizer's shadow memory")
def test_refused_worker_threads_are_an_error_not_a_crash():
    # Room for the tables but not for seven thread stacks.
    done = run_python("""
        import resource, numpy as np, _exhaustive_kernel as k
        X = np.random.default_rng(0).standard_normal((40, 5)); C = X.T @ X; R = np.sort(X[:, 0])
        want = k._sink_dp(X, C, R, 5, 1)
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 20 * 2**20, resource.RLIM_INFINITY))
        for _ in range(3):
            try:
                k._sink_dp(X, C, R, 5, 8)
            except RuntimeError as error:
                print(error)
        got = k._sink_dp(X, C, R, 5, 1)
        print((got[0] == want[0]).all() and got[1] == want[1])
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "True"
    assert lines[0].startswith("cannot start 7 worker threads: ")
