"""How far to trust an answer: order margins, the runner-up order, total
effects, residual independence, diagnostics and bootstrap summaries."""

from __future__ import annotations

import itertools
import json
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import varkel
from conftest import f64_bits
from varkel import _engine as engine


def brute_force_totals(X, C, R, successors=None):
    """Every allowed order's total: the engine's scores summed first to last
    in double precision."""
    n = X.shape[1]
    score = {(t, P): engine.score(X, C, R, t, P)
             for t in range(n) for P in range(1 << n) if not P >> t & 1}
    totals = {}
    for order in itertools.permutations(range(n)):
        if successors and any(successors[a] >> b & 1 and order.index(a) > order.index(b)
                              for a in range(n) for b in range(n)):
            continue
        total, placed = 0.0, 0
        for v in order:
            total += score[v, placed]
            placed |= 1 << v
        totals[order] = total
    return totals


def close(a: float, b: float, scale: float) -> bool:
    return a == b or abs(a - b) <= 1e-9 * abs(scale)


@pytest.mark.parametrize(("n", "constrained"), [(3, False), (5, False), (5, True), (7, False),
                                                (7, True)])
def test_margins_and_runner_up_equal_a_brute_force(n, constrained):
    X, _ = varkel.simulate_lingam(n, 80, seed=n, noise="laplace")
    pk = None
    if constrained:  # x1 before x0, and x2 not an ancestor of x3 (x3 before x2)
        pk = -np.ones((n, n))
        pk[0, 1] = 1
        pk[3, 2] = 0
    model = varkel.ExhaustiveLiNGAM(prior_knowledge=pk).fit(X)
    prepared = varkel._search.prepare_search(X, prior_knowledge=pk)
    Z, R = prepared.searched, prepared.reference_vector
    totals = brute_force_totals(Z, engine.gram(Z), R, prepared.successors)
    order = model.causal_order_
    best = totals[tuple(order)]
    assert best == max(totals.values()) or close(best, max(totals.values()), best)
    for i, j in itertools.permutations(range(n), 2):
        reversed_ = [t for o, t in totals.items() if o.index(j) < o.index(i)]
        if order.index(j) < order.index(i):
            want = 0.0
        else:
            want = max(0.0, best - max(reversed_)) if reversed_ else math.inf
        got = model.order_margins_[i, j]
        assert got == want or close(got, want, best), (i, j, got, want)
    others = {o: t for o, t in totals.items() if list(o) != order}
    runner_up = max(others, key=others.__getitem__)
    assert close(model.runner_up_total_, others[runner_up], best)
    assert close(others[tuple(model.runner_up_order_)], others[runner_up], best)
    if constrained:
        assert model.order_margins_[1, 0] == math.inf and model.order_margins_[3, 2] == math.inf


def test_margins_do_not_depend_on_threads_or_slices():
    # Large enough that the engine runs two threads, with slices small
    # enough that a level is split into many whatever the machine's speed.
    X, _ = varkel.simulate_lingam(12, 1000, seed=2, noise="laplace")
    assert engine.plan(12, 1000, threads=2)["threads"] == 2
    Z = (X - X.mean(axis=0)) / X.std(axis=0)
    R = varkel.reference_vector("normal", 1000)
    order = list(range(12))
    one = engine.order_margins(Z, None, R, order, threads=1)
    for threads, slice_seconds in ((2, 1e-5), (2, 0.05)):
        other = engine.order_margins(Z, None, R, order, threads=threads,
                                     slice_seconds=slice_seconds)
        assert [f64_bits(v) for v in other["margins"].ravel()] == \
            [f64_bits(v) for v in one["margins"].ravel()]
        assert other["runner_up_order"] == one["runner_up_order"]
        assert f64_bits(other["runner_up_total"]) == f64_bits(one["runner_up_total"])


def test_margins_can_be_declined_or_refused_when_they_cannot_fit(monkeypatch):
    import varkel._margins as margins

    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    model = varkel.ExhaustiveLiNGAM(margins=False).fit(X)
    assert model.order_margins_ is None and model.runner_up_order_ is None
    monkeypatch.setattr(margins, "margins_fit", lambda *_: (False, "too big here"))
    assert varkel.ExhaustiveLiNGAM().fit(X).order_margins_ is None
    with pytest.raises(MemoryError, match=r"^too big here$"):
        varkel.ExhaustiveLiNGAM(margins=True).fit(X)
    with pytest.raises(varkel.InputError, match="margins must be None, True or False"):
        varkel.ExhaustiveLiNGAM(margins="yes").fit(X)


def test_total_effects_match_the_true_ones():
    sim = varkel.simulate_dag(5, 100_000, seed=6, edge_probability=0.6)
    model = varkel.ExhaustiveLiNGAM(margins=False).fit(sim.X)
    truth = np.linalg.inv(np.eye(5) - sim.adjacency)  # truth[to, from]
    order = model.causal_order_
    first, last = order[0], order[-1]
    for position, source in enumerate(order):
        for target in order[position + 1:]:
            got = model.estimate_total_effect(sim.X, source, target)
            assert abs(got - truth[target, source]) < 0.05, (source, target)
    with pytest.warns(UserWarning, match="no path"):
        assert model.estimate_total_effect(sim.X, last, first) == 0.0


def hidden_cause_data(seed: int = 0) -> np.ndarray:
    """x0 -> x1 -> x2, and x3 sharing an unobserved cause with x2."""
    rng = np.random.default_rng(seed)
    hidden, e = rng.uniform(-1, 1, 1500), rng.uniform(-1, 1, (1500, 4))
    X = e.copy()
    X[:, 1] += 0.8 * X[:, 0]
    X[:, 2] += -0.7 * X[:, 1] + 1.5 * hidden**3 * 3
    X[:, 3] += 1.5 * hidden**3 * 3
    return X


def test_independence_p_values_find_a_hidden_common_cause():
    X = hidden_cause_data()
    p = varkel.ExhaustiveLiNGAM(margins=False).fit(X).get_error_independence_p_values(X)
    assert p.shape == (4, 4) and np.array_equal(p, p.T)
    assert p[2, 3] < 1e-3
    clean = varkel.simulate_dag(4, 1500, seed=3, edge_probability=0.5).X
    model = varkel.ExhaustiveLiNGAM(margins=False).fit(clean)
    q = model.get_error_independence_p_values(clean)
    assert q[np.triu_indices(4, 1)].min() > 0.01
    # The fit keeps its own data's p-values; other data are tested afresh.
    assert model.get_error_independence_p_values(X)[2, 3] < 1e-3


def gaussian_root(rng):
    X = rng.uniform(-1, 1, (1000, 3))
    X[:, 0] = rng.standard_normal(1000)
    return X


def rounded(levels):
    """A clean data set rounded to `levels` values per column."""
    def make(rng):
        X = varkel.simulate_dag(4, 2000, seed=3, edge_probability=0.5).X
        return np.round((X - X.min(0)) / np.ptp(X, 0) * (levels - 1))
    return make


@pytest.mark.parametrize(
    ("make", "kind"),
    [
        (gaussian_root, "near-Gaussian"),
        (lambda rng: np.exp(varkel.simulate_dag(4, 1000, seed=2, noise="laplace").X),
         "heavy tails"),
        (rounded(5), "discrete"),
        (rounded(300), None),  # continuous measurements with rounding
        (lambda rng: hidden_cause_data(), "dependent residuals"),
        (lambda rng: rng.uniform(-1, 1, (50, 3)), "few samples"),
        (lambda rng: varkel.simulate_dag(6, 2000, seed=2, edge_probability=0.5).X, None),
        (lambda rng: varkel.simulate_dag(5, 3000, seed=5, noise="laplace").X, None),
    ],
)
def test_each_diagnostic_kind_fires_on_data_that_break_its_assumption(make, kind):
    X = make(np.random.default_rng(0))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the pruning's own warnings on odd data
        found = varkel.ExhaustiveLiNGAM(margins=False).fit(X).diagnostics(X)
    kinds = [d.kind for d in found]
    assert kind in kinds if kind else kinds == [], found


def test_diagnostics_are_one_record_per_kind_in_severity_order(capsys):
    X = hidden_cause_data()
    X[:, 0] = np.round(X[:, 0])  # three levels
    X = X[:70]  # few samples for 4 variables
    X[:, 1] = np.exp(6 * X[:, 1])  # heavy tails
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        found = varkel.ExhaustiveLiNGAM(margins=False).fit(X).diagnostics(X)
    kinds = [d.kind for d in found]
    assert len(kinds) == len(set(kinds)) and {"discrete", "few samples", "heavy tails"} <= set(
        kinds)
    severities = [d.severity for d in found]
    assert severities == sorted(severities, key=["warning", "caution"].index)
    for record in found:
        assert str(record) == record.message and "\n" not in record.message
        assert varkel.Diagnostic.from_dict(json.loads(json.dumps(record.to_dict()))) == record
    tails = next(d for d in found if d.kind == "heavy tails")
    assert tails.variables == ("x1",) and "log" in tails.message


def test_dependent_residuals_are_one_line_naming_the_worst_pairs():
    from varkel._diagnostics import dependent_residuals

    names = [f"v{k}" for k in range(6)]
    p = np.ones((6, 6))
    for k, (i, j) in enumerate(itertools.combinations(range(6), 2)):
        p[i, j] = p[j, i] = 1e-9 * (k + 1) if k < 8 else 0.5
    found = dependent_residuals(p, names)
    assert found.variables[0] == ("v0", "v1") and len(found.variables) == 8
    assert "8 of 15" in found.message and "and 3 more" in found.message
    assert found.message.count("\u2013") == 5


@pytest.mark.parametrize(("hidden", "expected"), [(True, "dependent"), (False, "independent")])
def test_independence_check_of_the_fitted_model(hidden, expected):
    X = hidden_cause_data() if hidden else varkel.simulate_dag(4, 1500, seed=3,
                                                                edge_probability=0.5).X
    check = varkel.ExhaustiveLiNGAM(margins=False).fit(X).independence_
    assert check.pairs_tested == 6
    assert (check.dependent > 0) == hidden and expected in str(check)
    if hidden:
        assert set(check.worst_pair) == {"x2", "x3"} and check.smallest_p < 1e-3


def slow_hsic_p_value(a, b):
    """HSIC with Gaussian kernels (median-distance widths) and its gamma
    approximation (Gretton et al. 2008), pair by pair."""
    from scipy.stats import gamma

    m = len(a)
    H = np.eye(m) - 1.0 / m

    def kernel(x):
        d = np.abs(x[:, None] - x[None, :])
        width = np.median(d[np.triu_indices(m, 1)][d[np.triu_indices(m, 1)] > 0])
        return np.exp(-d**2 / (2 * width**2))

    K, L = kernel(a), kernel(b)
    Kc, Lc = H @ K @ H, H @ L @ H
    statistic = np.sum(Kc * Lc) / m
    V = (Kc * Lc / 6) ** 2
    variance = (V.sum() - np.trace(V)) / m / (m - 1) * 72 * (m - 4) * (m - 5) / (
        m * (m - 1) * (m - 2) * (m - 3))
    mk = (K.sum() - m) / (m * (m - 1))
    ml = (L.sum() - m) / (m * (m - 1))
    mean = (1 + mk * ml - mk - ml) / m
    return gamma.sf(statistic, mean**2 / variance, scale=variance * m / mean)


def test_independence_p_values_match_the_pairwise_formula():
    from varkel._independence import independence_p_values

    rng = np.random.default_rng(5)
    R = rng.laplace(size=(150, 4))
    R[:, 1] += 0.6 * np.abs(R[:, 0])
    R[:, 3] = np.round(R[:, 3])  # ties in the widths' distances
    p = independence_p_values(R)
    for i, j in itertools.combinations(range(4), 2):
        assert p[i, j] == pytest.approx(slow_hsic_p_value(R[:, i], R[:, j]), rel=1e-9,
                                        abs=1e-300)


@pytest.fixture(scope="module")
def boot():
    sim = varkel.simulate_dag(5, 300, seed=4, edge_probability=0.5)
    return varkel.ExhaustiveLiNGAM(random_state=3).bootstrap(sim.X, 12), sim.X


def test_bootstrap_summaries_agree_with_direct_counts(boot):
    result, X = boot
    B = result.adjacency_matrices_
    directions = result.get_causal_direction_counts()
    for source, to, count in zip(directions["from"], directions["to"], directions["count"],
                                 strict=True):
        assert count == np.count_nonzero(B[:, to, source])
    assert sum(directions["count"]) == np.count_nonzero(B)
    assert directions["count"] == sorted(directions["count"], reverse=True)
    split = result.get_causal_direction_counts(split_by_causal_effect_sign=True)
    for source, to, count, sign in zip(split["from"], split["to"], split["count"],
                                       split["sign"], strict=True):
        assert count == np.count_nonzero(np.sign(B[:, to, source]) == sign)
    dags = result.get_directed_acyclic_graph_counts()
    assert sum(dags["count"]) == len(B)
    first = dags["dag"][0]
    same = [np.array_equal(np.argwhere(b != 0)[:, ::-1].tolist(),
                           sorted(zip(first["from"], first["to"], strict=True),
                                  key=lambda e: (e[1], e[0])))
            for b in B]
    assert sum(same) == dags["count"][0]
    effects = result.get_total_causal_effects()
    E = result.total_effects_
    for source, to, p in zip(effects["from"], effects["to"], effects["probability"],
                             strict=True):
        assert p == np.count_nonzero(E[:, to, source]) / len(E)
    rows = result.resampled_indices_
    assert rows.shape == (12, 300)
    refit = varkel.ExhaustiveLiNGAM(margins=False).fit(X[rows[5]])
    assert np.array_equal(refit.adjacency_matrix_, B[5])


def test_bootstrap_paths_are_counted_per_resample(boot):
    result, _ = boot
    B = result.adjacency_matrices_
    order = result.causal_orders_[0]
    source, target = int(order[0]), int(order[-1])
    paths = result.get_paths(source, target)
    for path, effect, p in zip(paths["path"], paths["effect"], paths["probability"],
                               strict=True):
        assert path[0] == source and path[-1] == target
        has = [all(b[y, x] != 0 for x, y in itertools.pairwise(path)) for b in B]
        assert p == sum(has) / len(B)
        products = [np.prod([b[y, x] for x, y in itertools.pairwise(path)])
                    for b, h in zip(B, has, strict=True) if h]
        assert effect == pytest.approx(np.median(products))


def test_an_exception_in_progress_stops_the_margins_pass():
    X, _ = varkel.simulate_lingam(10, 200, seed=1)
    R = varkel.reference_vector("normal", 200)

    def progress(done, total):
        raise RuntimeError("stop the margins")

    with pytest.raises(RuntimeError, match="stop the margins"):
        engine.order_margins(X, None, R, list(range(10)), progress=progress,
                             progress_interval=0.0, slice_seconds=1e-4)


@pytest.mark.parametrize("call", [
    lambda r: r.get_causal_direction_counts(n_directions=-1),
    lambda r: r.get_directed_acyclic_graph_counts(n_dags=-1),
    lambda r: r.get_causal_direction_counts(n_directions=2.5),
    lambda r: r.get_paths(-1, 1), lambda r: r.get_paths(3, 5), lambda r: r.get_paths(3.9, 1),
    lambda r: r.get_paths("x3", 1), lambda r: r.get_paths(None, 1)])
def test_bootstrap_summaries_refuse_bad_counts_and_indices(boot, call):
    result, _ = boot
    with pytest.raises(varkel.InputError, match="must be"):
        call(result)


def test_margins_progress_climbs_to_its_total():
    X, _ = varkel.simulate_lingam(9, 400, seed=3)
    pk = -np.ones((9, 9))
    pk[2, 5] = 1
    for prior in (None, pk):
        calls = []
        varkel.ExhaustiveLiNGAM(margins=True, prior_knowledge=prior).fit(
            X, progress=lambda done, total, c=calls: c.append((done, total)))
        done = [d for d, _ in calls]
        assert done == sorted(done) and calls[-1][0] == calls[-1][1] > 0


def constructed_bootstrap() -> varkel.BootstrapResult:
    """Five resamples over 3 variables with known paths 0 -> 2 and effects."""
    B = np.zeros((5, 3, 3))
    B[:3, 1, 0], B[:3, 2, 1] = [1.0, 2.0, 4.0], 0.5           # 0 -> 1 -> 2 in three
    B[1:, 2, 0] = [3.0, 5.0, 7.0, 9.0]                         # 0 -> 2 in four
    E = np.zeros((5, 3, 3))
    E[[0, 3, 4], 2, 0] = [10.0, 20.0, 60.0]                    # 0's effect on 2 in three
    return varkel.BootstrapResult(adjacency_matrices_=B, causal_orders_=np.tile([0, 1, 2], (5, 1)),
                                  feature_names_=["a", "b", "c"], total_effects_=E)


def test_bootstrap_summaries_rank_by_count_and_take_medians_where_present():
    result = constructed_bootstrap()
    paths = result.get_paths(0, 2)
    assert paths["path"] == [[0, 2], [0, 1, 2]]                # four resamples before three
    assert paths["probability"] == [0.8, 0.6]
    assert paths["effect"] == [6.0, 1.0]                       # medians of 3,5,7,9 and .5,1,2
    effects = result.get_total_causal_effects()
    k = list(zip(effects["from"], effects["to"], strict=True)).index((0, 2))
    assert effects["effect"][k] == 20.0 and effects["probability"][k] == 0.6


def test_independence_p_values_do_not_depend_on_units():
    X = hidden_cause_data(1)[:400]
    model = varkel.ExhaustiveLiNGAM(margins=False).fit(X)
    p = model.get_error_independence_p_values(X)
    scaled = varkel.ExhaustiveLiNGAM(margins=False).fit(X * 1000.0)
    assert np.allclose(scaled.get_error_independence_p_values(X * 1000.0), p, rtol=1e-6)


def test_total_effects_of_data_far_from_zero_are_those_of_centred_data():
    sim = varkel.simulate_dag(4, 20_000, seed=6, edge_probability=0.9)
    truth = np.linalg.inv(np.eye(4) - sim.adjacency)
    shifted = sim.X + 100.0
    model = varkel.ExhaustiveLiNGAM(margins=False, random_state=0).fit(shifted)
    source, target = model.causal_order_[0], model.causal_order_[-1]
    got = model.estimate_total_effect(shifted, source, target)
    assert got == pytest.approx(truth[target, source], abs=0.05)
    assert got == pytest.approx(model.estimate_total_effect(sim.X, source, target), rel=1e-9)
    boot = model.bootstrap(shifted, 4).total_effects_
    assert np.allclose(boot[:, target, source], truth[target, source], atol=0.05)


def test_extreme_residuals_prune_to_the_same_bits():
    rng = np.random.default_rng(5)
    X = rng.laplace(size=(1000, 8))
    X[:, 1:] += 0.7 * X[:, :-1]
    X[rng.choice(1000, 12, replace=False), rng.integers(0, 8, 12)] += \
        rng.choice([-1, 1], 12) * rng.uniform(10, 40, 12)        # outliers of 10 sd and more
    Z = (X - X.mean(axis=0)) / X.std(axis=0)
    R = varkel.reference_vector("normal", 1000)
    pruned, plain = (engine.search(Z, None, R, prune=p) for p in (True, False))
    assert np.array_equal(pruned[0], plain[0]) and f64_bits(pruned[1]) == f64_bits(plain[1])


MARGIN_MEMORY = """
import sys, numpy as np, varkel
from varkel import _engine as engine
X, _ = varkel.simulate_lingam(19, 200, seed=1)
Z = (X - X.mean(axis=0)) / X.std(axis=0)
R = varkel.reference_vector("normal", 200)
engine.order_margins(Z[:, :4], None, R, None, threads=2)  # threads and buffers warmed up
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(l.split()[1]) for l in lines if l.startswith(field)) * 1024
# The peak of this process's own memory (VmHWM): ru_maxrss would count the
# RSS of the process that forked this one, such as a large test run.
before = status("VmRSS")
engine.order_margins(Z, None, R, None, threads=2)
grown = status("VmHWM") - before
print(grown, engine.plan(19, 200, threads=2)["margin_bytes"])
"""


@pytest.mark.skipif(bool(os.environ.get("VARKEL_SANITIZED")),
                    reason="the sanitizers add redzones and shadow memory to every allocation")
def test_the_margins_memory_estimate_counts_what_they_allocate():
    done = subprocess.run([sys.executable, "-c", MARGIN_MEMORY], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    grown, estimate = (int(v) for v in done.stdout.split())
    # Every table the pass allocates is in the estimate (a few MiB of the
    # interpreter's own aside), and the estimate is not far above them.
    assert 0.8 * estimate <= grown <= 1.02 * estimate + 4 * 2**20, (grown, estimate)
