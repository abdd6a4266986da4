"""Orders in blocks: tiers, prior knowledge that splits the order, and the
window search of blocks above 30 variables."""

from __future__ import annotations

import itertools
import json

import numpy as np
import pytest

import varkel
from varkel._blocks.run import order_total
from varkel._blocks.windows import WindowState, greedy_order, window_search, window_starts
from varkel._search import prepare_search


def tier_prior(tiers: list[list[int]], n: int) -> np.ndarray:
    """The prior knowledge that tiers amount to: an earlier tier's variable
    has no ancestor in a later tier."""
    pk = -np.ones((n, n))
    for earlier, later in itertools.combinations(tiers, 2):
        pk[np.ix_(earlier, later)] = 0
    return pk


def random_tiers(n: int, rng: np.random.Generator) -> list[list[int]]:
    cuts = sorted(rng.choice(np.arange(1, n), size=int(rng.integers(1, 3)), replace=False))
    shuffled = rng.permutation(n)
    return [sorted(int(v) for v in part) for part in np.split(shuffled, cuts)]


def numpy_score(x: np.ndarray, parents: np.ndarray, R: np.ndarray) -> float:
    """A variable's score given its parents, from least squares in NumPy."""
    residual = x - parents @ np.linalg.lstsq(parents, x, rcond=None)[0] if parents.size else x
    standardized = np.sort(residual / np.sqrt(np.mean(residual**2)))
    return float(np.mean((standardized - R) ** 2))


@pytest.mark.parametrize("case", range(20))
def test_tiers_give_the_full_search_with_the_same_prior(case):
    rng = np.random.default_rng(case)
    n = int(rng.integers(5, 11))
    grouped = case % 4 == 3
    sims = [varkel.simulate_dag(n, int(rng.integers(300, 800)), seed=100 * case + g,
                                edge_probability=0.4) for g in range(2 if grouped else 1)]
    tiers = random_tiers(n, rng)
    pk = tier_prior(tiers, n)
    inside = next(t for t in tiers if len(t) > 1) if any(len(t) > 1 for t in tiers) else None
    if inside is not None and case % 2:  # a constraint within a tier
        pk[inside[1], inside[0]] = 1
    make = varkel.MultiGroupExhaustiveLiNGAM if grouped else varkel.ExhaustiveLiNGAM
    data = [s.X for s in sims] if grouped else sims[0].X
    tiered = make(tiers=tiers, prior_knowledge=pk if case % 2 else None, margins=True).fit(data)
    full = make(prior_knowledge=pk, margins=True).fit(data)
    assert tiered.causal_order_ == full.causal_order_
    assert tiered.search_ == "exact"  # blocks: the tiers, or finer where pk splits one
    assert all(any(set(b) <= set(t) for t in tiers) for b in tiered.blocks_)
    finite = np.isfinite(full.order_margins_)
    assert np.array_equal(finite, np.isfinite(tiered.order_margins_))
    assert np.allclose(tiered.order_margins_[finite], full.order_margins_[finite], rtol=1e-9,
                       atol=1e-12)
    if full.runner_up_order_ is not None:
        assert tiered.runner_up_total_ == pytest.approx(full.runner_up_total_, rel=1e-9)


@pytest.mark.parametrize("seed", range(4))
def test_tiers_find_the_best_order_that_respects_them(seed):
    rng = np.random.default_rng(seed)
    n = 6 + seed % 2
    sim = varkel.simulate_dag(n, 300, seed=seed, edge_probability=0.5)
    tiers = random_tiers(n, rng)
    Z = sim.X - sim.X.mean(axis=0)
    R = varkel.reference_vector("normal", 300)
    tier_of = {v: t for t, tier in enumerate(tiers) for v in tier}
    best = max((order for order in itertools.permutations(range(n))
                if all(tier_of[a] <= tier_of[b] for a, b in itertools.pairwise(order))),
               key=lambda order: sum(numpy_score(Z[:, v], Z[:, list(order[:k])], R)
                                     for k, v in enumerate(order)))
    assert varkel.causal_order(sim.X, tiers=tiers).order == list(best)


def test_prior_knowledge_splits_forty_variables_into_exact_blocks():
    sim = varkel.simulate_dag(40, 600, seed=2, edge_probability=0.08)
    truth = sim.order
    pk = -np.ones((40, 40))
    for cut in (14, 27):  # three blocks of the true order, each <= 30
        pk[np.ix_(truth[:cut], truth[cut:])] = 0
    a, b = truth[20], truth[16]  # against the truth, within the second block
    pk[a, b] = 0
    found = varkel.causal_order(sim.X, prior_knowledge=pk)
    assert found.search == "exact" and [len(b) for b in found.blocks] == [14, 13, 13]
    position = {v: k for k, v in enumerate(found.order)}
    assert all(position[i] < position[j] for i, j in zip(*np.nonzero(pk == 0), strict=True)
               if pk[j, i] != 0)
    loose = -np.ones((40, 40))
    loose[np.ix_(truth[:5], truth[5:])] = 0  # blocks of 5 and 35
    with pytest.raises(varkel.InputError, match="blocks of up to 35 variables"):
        varkel.causal_order(sim.X, prior_knowledge=loose, search="exact")
    for options, search in (({"window": 8}, "window w=8"), ({}, "large (pairwise start")):
        found = varkel.causal_order(sim.X, prior_knowledge=loose, **options)
        assert found.search.startswith(search) and set(found.order[:5]) == set(truth[:5])


def search_input(X: np.ndarray, width: int):
    prepared = prepare_search(X, window=width)
    return [prepared.searched], [prepared.reference_vector]


def test_a_window_as_wide_as_the_block_is_the_exact_search():
    for seed in range(3):
        sim = varkel.simulate_dag(10, 500, seed=seed, edge_probability=0.4)
        matrices, references = search_input(sim.X, 10)
        found = window_search(matrices, references, None, 10, grouped=False, threads=1,
                              progress=None, state=WindowState(None, ""), mpi=False)
        assert found == varkel.causal_order(sim.X).order


@pytest.fixture(scope="module")
def forty():
    sim = varkel.simulate_dag(40, 800, seed=7, edge_probability=0.08, noise="laplace")
    return sim, varkel.causal_order(sim.X, window=6)


def test_the_window_search_improves_on_its_start_and_no_window_can_improve(forty):
    sim, found = forty
    matrices, references = search_input(sim.X, 6)
    start = greedy_order(matrices, references, None)
    assert found.total >= order_total(matrices, references, start)
    rng = np.random.default_rng(0)
    Z = matrices[0]
    for start in rng.choice(window_starts(40, 6), size=10, replace=False):
        before, window = found.order[:start], found.order[start:start + 6]
        # The window regressed on what precedes it by a least-squares fit of
        # its own, searched exactly, then compared in NumPy's scores.
        placed = Z[:, before]
        residuals = Z[:, window] - placed @ np.linalg.lstsq(placed, Z[:, window],
                                                              rcond=None)[0]
        best = varkel.causal_order(residuals).order
        R = references[0]
        totals = [sum(numpy_score(residuals[:, v], residuals[:, list(o[:k])], R)
                      for k, v in enumerate(o)) for o in (best, list(range(6)))]
        assert totals[0] <= totals[1] + 1e-9


def test_blocks_and_windows_resume_and_do_not_depend_on_threads(forty, tmp_path):
    sim, found = forty
    tiers = [found.order[k:k + 10] for k in range(0, 40, 10)]
    # The call that interrupts: the large search saves its state after its
    # start's local search and after each restart, past its first steps.
    for options, stop in (({"tiers": tiers}, 6), ({"window": 6}, 6),
                          ({"search": "large", "window": 5}, 1000)):
        plain = varkel.causal_order(sim.X, threads=1, **options)
        assert varkel.causal_order(sim.X, threads=2, **options) == plain
        calls = []

        def interrupt(done, total, calls=calls, stop=stop):
            calls.append(done)
            if len(calls) == stop:
                raise KeyboardInterrupt

        ck = tmp_path / str(len(options)) / next(iter(options))
        with pytest.raises(KeyboardInterrupt):
            varkel.causal_order(sim.X, threads=1, checkpoint=ck, progress=interrupt, **options)
        assert any(ck.iterdir())
        resumed: list[int] = []
        assert varkel.causal_order(sim.X, threads=2, checkpoint=ck,
                                   progress=lambda d, t, r=resumed: r.append(d),
                                   **options) == plain
        if "tiers" not in options:
            whole: list[int] = []
            varkel.causal_order(sim.X, progress=lambda d, t, w=whole: w.append(d), **options)
            if "search" in options:  # resumed after the restarts done
                assert len(resumed) < len(whole) - stop // 2
            else:  # one call a window: the first six are not searched again
                assert len(resumed) == len(whole) - 6


@pytest.mark.parametrize(("options", "message"), [
    ({"tiers": [[0, 1], [2]]}, "variable 'x3' is in no tier"),
    ({"tiers": [[0, 1], [1, 2, 3]]}, "variable 'x1' is in tier 0 and in tier 1"),
    ({"tiers": [[0, 1], [2, 3]], "prior_knowledge": "contradicts"},
     "tiers contradict prior_knowledge: pk\\[0, 3\\] = 1"),
    ({"window": 1}, "window must be None or a whole number from 2 to 25, got 1"),
    ({"window": 26}, "from 2 to 25, got 26"),
    ({"tiers": [[0, 1], [2, "nope"]]}, "tiers name 'nope', which is not a column"),
])
def test_bad_tiers_and_windows_are_one_line(options, message):
    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    if options.get("prior_knowledge") == "contradicts":
        options["prior_knowledge"] = -np.ones((4, 4))
        options["prior_knowledge"][0, 3] = 1
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X, **options)


def test_the_command_line_reads_tiers_for_one_table_groups_and_series(tmp_path):
    from test_cli import run_cli, write_csv

    sim = varkel.simulate_dag(8, 600, seed=3, edge_probability=0.4)
    tiers = [sorted(sim.order[:3]), sorted(sim.order[3:])]
    data = write_csv(tmp_path / "d.csv", sim.X)
    (tmp_path / "tiers.txt").write_text("# background first\n" + ",".join(
        f"v{j}" for j in tiers[0]) + "\n" + ",".join(str(j) for j in tiers[1]) + "\n")
    expected = varkel.causal_order(sim.X, tiers=tiers).order
    for extra in ([], ["--groups"], ["--lags", "1"]):
        command = "order" if not extra else "graph"
        done = run_cli(command, data, *([data] if extra == ["--groups"] else []), *extra,
                       "--tiers", str(tmp_path / "tiers.txt"), "--json")
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout)
        assert result["search"] == "exact" and "search: exact, in 2 blocks" in done.stderr
        position = {name: k for k, name in enumerate(result["order"])}
        assert max(position[f"v{j}"] for j in tiers[0]) < min(position[f"v{j}"] for j in tiers[1])
        if not extra:
            assert result["order"] == [f"v{j}" for j in expected]
