"""The engine against _exhaustive_kernel and the slow reference, bit for bit."""

from __future__ import annotations

import math
import os
import re
from pathlib import Path

import numpy as np
import pytest

import _exhaustive_kernel as kernel
import _exhaustive_testing as testing
import reference
from conftest import GROUP, f64_bits, in_columns, run_in_threads, run_python
from varkel import _engine as engine
from varkel import column_table


def engine_problem(kind: str, n_vars: int, n_samples: int, seed: int):
    """Data of one kind, its Gram matrix and a sorted reference vector."""
    rng = np.random.default_rng(seed)
    R = np.sort(rng.standard_normal(n_samples))
    if kind == "laplace":
        X = rng.laplace(size=(n_samples, n_vars))
    elif kind == "uniform":
        X = rng.uniform(-1.0, 1.0, (n_samples, n_vars))
    elif kind == "integer-ties":
        X = rng.integers(-3, 4, (n_samples, n_vars)).astype(float)
    elif kind == "duplicated":
        X = rng.laplace(size=(n_samples, n_vars))
        X[:, -1] = X[:, 0]                       # singular parent sets
        if n_vars > 2:
            X[:, 1] = 2.0 * X[:, 0]              # proportional columns
    elif kind == "signed-zeros":
        # Many exact zeros of both signs: residuals hold -0.0 and +0.0, which
        # djbsort orders and VQSort does not.
        X = rng.integers(-2, 3, (n_samples, n_vars)).astype(float)
        X[(X == 0) & (rng.random(X.shape) < 0.5)] = -0.0
    elif kind == "exact-ties":
        # Column 1 is column 0 backwards, column 2 its pairs swapped: the
        # same values, so candidates tie exactly, in the scores and sums.
        X = rng.laplace(size=(n_samples, n_vars))
        X[:, 1] = X[::-1, 0]
        if n_vars > 2 and n_samples % 2 == 0:
            X[:, 2] = X[:, 0].reshape(-1, 2)[:, ::-1].ravel()
    elif kind == "nan-scores":
        X = rng.laplace(size=(n_samples, n_vars))
        X[rng.integers(n_samples), 1] = np.nan   # every score touching column 1
    elif kind == "infinite-scores":
        X = rng.laplace(size=(n_samples, n_vars))
        R[-1] = np.inf                           # every score +inf
    elif kind == "mixed-infinities":
        X = rng.laplace(size=(n_samples, n_vars))
        R[0], R[-1] = -np.inf, np.inf            # inf - inf: NaN scores
    else:
        raise AssertionError(kind)
    return X, X.T @ X, R


CASES = [
    (kind, n, samples)
    for kind in ("laplace", "uniform", "integer-ties")
    for n, samples in ((1, 2), (2, 3), (3, 5000), (5, 9), (7, 1000), (9, 17), (10, 200),
                       (12, 64))
] + [
    ("duplicated", 4, 50), ("duplicated", 11, 1000),
    ("signed-zeros", 5, 40), ("signed-zeros", 11, 1000),
    ("nan-scores", 6, 30), ("infinite-scores", 6, 30), ("mixed-infinities", 6, 30),
    ("laplace", 14, 6),
    ("exact-ties", 8, 1000), ("exact-ties", 6, 4), ("integer-ties", 8, 700),
]

# (threads, sort, slice seconds, prune, candidate buffers): every policy the
# engine may vary.
POLICIES = [(1, "auto", 0.05, False, 0), (2, "djbsort", 0.05, True, 1),
            (0, "vqsort", 1e-6, True, 3), (64, "auto", 1e-4, None, 0)]


def assert_same_search(got, want):
    sinks, total = got
    want_sinks, want_total = want
    assert sinks.dtype == np.int8 and sinks.shape == want_sinks.shape
    assert np.array_equal(sinks.astype(np.int32), want_sinks)
    assert f64_bits(total) == f64_bits(want_total)


@pytest.mark.parametrize(("kind", "n_vars", "n_samples"), CASES)
def test_engine_matches_sink_dp_bit_for_bit(kind, n_vars, n_samples):
    X, C, R = engine_problem(kind, n_vars, n_samples, seed=n_vars * 1000 + n_samples)
    want = kernel._sink_dp(X, C, R, n_vars, 0)
    columns = in_columns(X)
    for policy, (threads, sort, slice_seconds, prune, buffers) in enumerate(POLICIES):
        # Every other policy reads the data in place, in the column layout.
        data = columns if policy % 2 else X
        got = engine.search(data, C, R, threads=threads, sort=sort, slice_seconds=slice_seconds,
                            prune=prune, candidate_buffers=buffers)
        assert_same_search(got, want)
    # The search the margins pass runs on its stored scores.
    stored = engine.order_margins(columns, C, R, None, threads=2)
    assert_same_search((stored["sinks"], stored["search_total"]), want)


@pytest.mark.parametrize("kind", ["laplace", "uniform", "integer-ties", "exact-ties",
                                  "signed-zeros", "duplicated"])
@pytest.mark.parametrize("n_samples", [2, 7, 64, 333, 1000, 5000])
def test_the_score_bound_is_never_below_the_score(kind, n_samples):
    X, C, R = engine_problem(kind, 6, n_samples, seed=n_samples)
    rng = np.random.default_rng(n_samples)
    checked = 0
    for _ in range(40):
        target = int(rng.integers(6))
        parents = int(rng.integers(64)) & ~(1 << target)
        upper, score = testing.score_upper_bound(X, C, R, target, parents)
        if not math.isnan(score):
            assert upper >= score, (target, parents, upper, score)
            checked += 1
    assert checked > 0


@pytest.mark.parametrize("kind", ["laplace", "uniform"])
@pytest.mark.parametrize("n_samples", [1000, 5000, 20000, 100_000])
def test_the_score_bound_is_tight_on_many_samples(kind, n_samples):
    # Past a few thousand samples the bound works through its blocks in
    # chunks, and past 65536 it keeps only every 64th sum of R; misplaced
    # blocks or sums would leave it valid but far too loose to prune.
    X, C, R = engine_problem(kind, 3, n_samples, seed=n_samples)
    for target in range(3):
        upper, score = testing.score_upper_bound(X, C, R, target, 0)
        assert score <= upper < score + 0.01
        # The same bits from every running sum of R kept.
        every_sum, _ = testing.score_upper_bound(X, C, R, target, 0, prefix_step=1)
        assert f64_bits(upper) == f64_bits(every_sum)


@pytest.mark.parametrize("successors", [None, [0b100, 0, 0, 0, 0b1, 0, 0, 0, 0, 0, 0, 0]])
def test_pruning_skips_candidates_and_keeps_every_bit(successors):
    X, C, R = engine_problem("laplace", 12, 1000, seed=4)
    pruned = engine.Search(X, C, R, prune=True, successors=successors)
    plain = engine.Search(X, C, R, prune=False, successors=successors)
    got, want = pruned.run(), plain.run()
    assert np.array_equal(got[0], want[0]) and f64_bits(got[1]) == f64_bits(want[1])
    assert pruned.skipped > 0 and plain.skipped == 0
    stored = engine.order_margins(X, C, R, None, successors=successors)
    assert np.array_equal(stored["sinks"], want[0])
    assert f64_bits(stored["search_total"]) == f64_bits(want[1])


def test_signed_zero_case_really_reorders_zeros():
    # The engine's sort must be allowed to differ from djbsort on zeros for
    # the signed-zero case above to test anything.
    values = np.array([0.0, -0.0] * 40 + [1.0, -1.0] * 40)
    by_key = testing.sort_selected(values)
    by_vqsort = testing.sort_vqsort(values)
    assert np.array_equal(by_key, by_vqsort)  # equal as numbers ...
    assert [f64_bits(v) for v in by_key] != [f64_bits(v) for v in by_vqsort]  # ... not as bits


@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray, in_columns,
                                    lambda X: X[::-1], lambda X: X[::3, ::2]])
def test_engine_computes_the_gram_matrix_when_not_given(layout):
    X, _, R = engine_problem("laplace", 6, 300, seed=3)
    X = layout(X)
    C = engine.gram(X)
    # Exactly the products summed over samples in order, whatever the layout.
    want = np.zeros((X.shape[1], X.shape[1]))
    for row in X:
        want = want + np.outer(row, row)
    assert np.array_equal(C, want) and np.array_equal(C, C.T)
    R = R[:X.shape[0]]
    assert_same_search(engine.search(X, None, R),
                       kernel._sink_dp(np.ascontiguousarray(X), C, R, X.shape[1], 1))


def _padding_nan(n_samples: int, n_vars: int) -> np.ndarray:
    X = column_table(n_samples, n_vars)
    X.base[(X.ctypes.data - X.base.ctypes.data) // 8 + n_samples] = np.nan
    return X


def _padding_past_the_memory() -> np.ndarray:
    """Two columns 16 doubles apart in an aligned array of 29 doubles of its
    own: the second column's padding would lie past its end."""
    owners = [np.zeros(29) for _ in range(64)]
    owner = next(o for o in owners if o.ctypes.data % 64 == 0)
    return np.ndarray((13, 2), np.float64, buffer=owner, strides=(8, 128))


@pytest.mark.parametrize(("make", "in_place"), [
    (lambda: column_table(13, 3), True),
    (lambda: column_table(16, 4)[:, 1:3], True),            # whole columns of one
    (lambda: np.asfortranarray(np.zeros((16, 3))), None),   # in place if 64-byte aligned
    (lambda: column_table(13, 3)[1:], False),               # columns start off the line
    (lambda: column_table(13, 3)[:8], False),               # columns 16 apart, not 8
    (lambda: np.zeros((13, 3)), False),                     # row-major
    (lambda: column_table(13, 3).astype(np.float32), False),
    (lambda: _padding_nan(13, 3), False),
    (_padding_past_the_memory, False),
])
def test_the_search_reads_only_its_own_layout_in_place(make, in_place):
    X = make()
    aligned = X.ctypes.data % 64 == 0
    assert engine.reads_in_place(X) is (aligned if in_place is None else in_place)


# -- single scores as doubles -------------------------------------------------

def reference_score(X, C, R, target, mask):
    n_samples, n_vars = X.shape
    return reference.score(X.ravel().tolist(), C.ravel().tolist(), R.tolist(), n_samples,
                           n_vars, target, mask, GROUP)


def same_double(a: float, b: float) -> bool:
    return f64_bits(a) == f64_bits(b) or (math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize("n_samples", [1, 2, 3, 7, 8, 9, 16, 17, 100, 1001])
@pytest.mark.parametrize("kind", ["laplace", "integer-ties", "signed-zeros", "duplicated"])
def test_every_score_path_matches_the_reference_as_doubles(kind, n_samples):
    X, C, R = engine_problem(kind, 5, n_samples, seed=n_samples)
    full = (1 << 5) - 1
    for mask in (0b00001, 0b00110, 0b10111, full):
        batched = testing.candidate_scores(X, C, R, mask, "vqsort")
        members = [j for j in range(5) if mask >> j & 1]
        for j, target in enumerate(members):
            parents = mask ^ (1 << target)
            want = reference_score(X, C, R, target, parents)
            assert same_double(testing.score(X, C, R, 5, target, parents), want)
            for sort in ("djbsort", "vqsort"):
                assert same_double(engine.score(X, C, R, target, parents, sort=sort), want)
            assert same_double(batched[j], want), (mask, target)


def test_standardisation_is_a_true_division():
    # Data where dividing by sd and multiplying by 1/sd round differently
    # for some residual: a multiplication would change the score's bits.
    X, C, R = engine_problem("laplace", 3, 200, seed=11)
    flat_X, flat_C = X.ravel().tolist(), C.ravel().tolist()
    rss, beta = reference.regress(flat_C, 3, 2, 0b011)
    want = reference.standardized_residuals(flat_X, 200, 3, 2, 0b011, beta, rss)
    z, has_nan = testing.engine_residuals(X, C, 3, 2, 0b011)
    assert not has_nan
    assert [f64_bits(v) for v in z] == [f64_bits(v) for v in want]
    sd = math.sqrt(rss / 200)
    residuals = [X[s, 2] - X[s, 0] * beta[0] - X[s, 1] * beta[1] for s in range(200)]
    assert any(e / sd != e * (1.0 / sd) for e in residuals)
    assert same_double(engine.score(X, C, R, 2, 0b011), reference_score(X, C, R, 2, 0b011))


@pytest.mark.parametrize("n_samples", [7, 50, 51])
def test_lanes_past_the_last_sample_never_make_a_score_nan(n_samples):
    # An rss so small that rss / m underflows to 0: every residual divides
    # to +-inf and the score is +inf, while the padding past the last sample
    # divides 0 by 0. Only the real samples' NaN may count.
    X, C, R = engine_problem("laplace", 3, n_samples, seed=5)
    C = C.copy()
    C[1, 1] = 5e-324
    assert reference_score(X, C, R, 1, 0) == math.inf
    for sort in ("djbsort", "vqsort"):
        assert engine.score(X, C, R, 1, 0, sort=sort) == math.inf


def test_nan_residual_makes_the_score_nan_before_sorting():
    X, C, R = engine_problem("laplace", 3, 50, seed=5)
    X[17, 0] = np.nan  # C stays finite, so only the residuals see it
    z, has_nan = testing.engine_residuals(X, C, 3, 1, 0b001)
    assert has_nan and np.isnan(z[17])
    for sort in ("djbsort", "vqsort"):
        assert math.isnan(engine.score(X, C, R, 1, 0b001, sort=sort))
    assert math.isnan(reference_score(X, C, R, 1, 0b001))


@pytest.mark.parametrize("n_samples", [5, 8, 13, 16])
def test_nan_test_ignores_padding_rows(n_samples):
    # An infinite coefficient turns the zero padding rows into NaN (0 * inf)
    # while every real residual is infinite: the score must not be NaN.
    X = np.ones((n_samples, 2))
    X[:, 0] = np.linspace(1.0, 2.0, n_samples)
    C = np.array([[1e-320, 1.0], [1.0, 4.0]])  # beta = 1 / 1e-320 overflows
    R = np.zeros(n_samples)
    want = reference_score(X, C, R, 1, 0b01)
    assert same_double(engine.score(X, C, R, 1, 0b01), want)


# -- threads, callers, progress -----------------------------------------------

def test_concurrent_callers_get_their_own_results():
    problems = [engine_problem("laplace", n, s, seed=n + s) for n, s in ((4, 30), (8, 200),
                                                                          (11, 300))]
    alone = [kernel._sink_dp(X, C, R, X.shape[1], 1) for X, C, R in problems]

    def run(index):
        for round_ in range(3):
            X, C, R = problems[(index + round_) % 3]
            assert_same_search(engine.search(X, C, R, threads=index % 3),
                               alone[(index + round_) % 3])

    run_in_threads(run, 6)


def test_progress_reports_scores_up_to_the_total():
    X, C, R = engine_problem("laplace", 11, 400, seed=2)
    seen = []
    engine.search(X, C, R, progress=lambda done, total: seen.append((done, total)),
                  progress_interval=0.0, slice_seconds=1e-4)
    assert len(seen) > 11
    assert all(total == 11 * 2**10 for _, total in seen)
    done = [d for d, _ in seen]
    assert done == sorted(done) and done[-1] == 11 * 2**10


def test_an_exception_in_progress_stops_the_search():
    X, C, R = engine_problem("laplace", 12, 200, seed=2)
    calls = []

    def progress(done, total):
        calls.append(done)
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        engine.search(X, C, R, progress=progress, progress_interval=0.0)
    assert len(calls) == 1
    assert_same_search(engine.search(X, C, R), kernel._sink_dp(X, C, R, 12, 0))


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda X, C, R: engine.search(X[0], None, R), ValueError, "two-dimensional"),
        (lambda X, C, R: engine.search(X, C[:2], R), ValueError, r"C must have shape \(4, 4\)"),
        (lambda X, C, R: engine.search(X, C, R[:-1]), ValueError, r"R must have shape \(20,\)"),
        (lambda X, C, R: engine.search(np.zeros((3, 31)), None, np.zeros(3)), ValueError,
         "at most 30"),
        (lambda X, C, R: engine.search(X, C, R, successors=[2, 0, 0]), ValueError,
         "4 masks"),
        (lambda X, C, R: engine.search(X, C, R, successors=[1, 0, 0, 0]), ValueError,
         r"successors\[0\] = 1"),
        (lambda X, C, R: engine.search(X, C, R, sort="quick"), ValueError, "sort must be"),
        (lambda X, C, R: engine.search(X, C, R, wait="nap"), ValueError, "wait must be"),
        (lambda X, C, R: engine.search(X, C, R, progress=5), TypeError, "callable"),
        (lambda X, C, R: engine.search(X, C, R, threads=-1), TypeError, "incompatible"),
    ],
)
def test_bad_arguments_are_refused(call, error, message):
    X, C, R = engine_problem("laplace", 4, 20, seed=1)
    with pytest.raises(error, match=message):
        call(X, C, R)


def test_plan_counts_work_and_describes_the_engine():
    plan = engine.plan(20, 1000)
    assert plan["scores"] == 20 * 2**19
    assert engine.plan(2, 100)["threads"] == 1  # too small to repay workers
    assert plan["sort"] in ("vqsort", "djbsort-avx2", "djbsort-portable")
    assert plan["arithmetic"] == {"AVX3": "avx512", "AVX2": "avx2", "SSE": "sse"}[
        next(name for name, group in (("AVX3", reference.AVX3), ("AVX2", reference.AVX2),
                                      ("SSE", reference.SSE)) if group == GROUP)]


# -- Ctrl-C and memory, in fresh interpreters ---------------------------------

def test_sigint_stops_a_search_at_the_next_slice_and_the_process_stays_usable():
    # With progress reported after every slice, the slices a search still
    # runs after the signal are counted, whatever the processor's speed: the
    # signal is checked before progress at every slice's end, so at most one
    # report (begun before the signal landed) may follow it.
    done = run_python("""
        import os, signal, threading
        import numpy as np, _exhaustive_kernel as kernel
        from varkel import _engine as engine
        rng = np.random.default_rng(0)
        X = rng.laplace(size=(1000, 22)); R = np.sort(rng.standard_normal(1000))
        reports, after = [], []
        under_way = threading.Event()

        def interrupt():
            under_way.wait()
            after.append(0)
            os.kill(os.getpid(), signal.SIGINT)

        # Started before the search: a signal that lands while this thread
        # waits in Thread.start() trips the interpreter's own lock handling.
        threading.Thread(target=interrupt, daemon=True).start()

        def progress(done, total):
            reports.append(done)
            if after:
                after[0] += 1
            elif len(reports) == 3:  # the search is under way: interrupt it from outside
                under_way.set()
        try:
            engine.search(X, None, R, progress=progress, progress_interval=0.0)
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted after", after[0], "reports")
        small = X[:, :6].copy()
        got = engine.search(small, None, R)
        want = kernel._sink_dp(small, engine.gram(small), R, 6, 0)
        print((got[0] == want[0]).all() and got[1] == want[1])
    """)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert first.startswith("interrupted after "), first
    assert int(first.split()[2]) <= 2, first
    assert second == "True"


@pytest.mark.parametrize(
    ("membership", "files", "remaining"),
    [
        ("0::/job\n", {"job/memory.max": "5000", "job/memory.current": "1200"}, 3800),
        ("0::/job\n", {"job/memory.max": "max", "job/memory.current": "1200"}, None),
        ("4:memory:/job\n0::/\n", {"memory/job/memory.limit_in_bytes": "9000",
                                    "memory/job/memory.usage_in_bytes": "1000"}, 8000),
        ("3:cpu,memory:/a\n0::/b\n", {"memory/a/memory.limit_in_bytes": "9000",
                                       "memory/a/memory.usage_in_bytes": "1000",
                                       "unified/b/memory.max": "700",
                                       "unified/b/memory.current": "800"}, 0),
        ("1:cpu:/job\n", {"cpu/job/memory.limit_in_bytes": "10"}, None),
    ],
)
def test_the_memory_cgroups_limit_is_read_in_either_version(tmp_path, membership, files,
                                                            remaining):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text + "\n")
    (tmp_path / "cgroup").write_text(membership)
    got = testing.cgroup_remaining(str(tmp_path / "cgroup"), str(tmp_path))
    assert got == (2**64 - 1 if remaining is None else remaining)


def child_memory_cgroup(tmp_name: str, limit: int) -> Path | None:
    """A new memory cgroup below this process's own, limited to `limit`
    bytes (version 1 or 2), or None where this process may not make one."""
    for line in Path("/proc/self/cgroup").read_text().splitlines():
        _, controllers, path = line.split(":", 2)
        if "memory" in controllers.split(","):
            base, limit_file = Path("/sys/fs/cgroup/memory" + path), "memory.limit_in_bytes"
        elif controllers == "":
            base, limit_file = Path("/sys/fs/cgroup" + path), "memory.max"
        else:
            continue
        child = base / tmp_name
        try:
            child.mkdir()
        except OSError:
            continue
        try:
            (child / limit_file).write_text(str(limit))
            return child
        except OSError:
            child.rmdir()
    return None


def test_a_real_memory_cgroup_limits_the_search(tmp_path):
    child = child_memory_cgroup(f"varkel-test-{os.getpid()}", 3 * 2**30)
    if child is None:
        pytest.skip("no memory cgroup can be made here")
    try:
        done = run_python(f"""
            from pathlib import Path
            Path({str(child / "cgroup.procs")!r}).write_text("0")
            from varkel import _engine
            plan = _engine.plan(0, 0)
            print(plan["memory_limit"], plan["available_bytes"] <= 3 * 2**30)
        """)
    finally:
        child.rmdir()
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "the memory cgroup's remaining limit True"


@pytest.mark.skipif(bool(__import__("os").environ.get("VARKEL_SANITIZED")),
                    reason="address-space limits break the sanitizer's shadow memory")
def test_a_search_too_large_for_memory_is_refused_before_allocating():
    done = run_python("""
        import resource, numpy as np
        from varkel import _engine as engine
        X = np.random.default_rng(0).standard_normal((40, 30)); R = np.sort(X[:, 0])
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, resource.RLIM_INFINITY))
        plan = engine.plan(30, 40)
        print(plan["bytes"] > plan["available_bytes"], plan["memory_limit"])
        try:
            engine.search(X, None, R)
        except MemoryError as error:
            print(error)
        print(engine.search(X[:, :3].copy(), None, R)[0].shape)
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "True the address-space limit (ulimit -v)"
    assert re.fullmatch(r"a search over 30 variables needs \d+\.\d GiB of memory, more than "
                        r"the \d+\.\d [GM]iB left \(limited by the address-space limit "
                        r"\(ulimit -v\)\)", lines[1])
    assert lines[2] == "(8,)"
