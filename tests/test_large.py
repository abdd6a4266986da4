"""The large search of blocks above 30 variables: its score, its moves, its
beam, and the options and run-time services it shares with the others."""

from __future__ import annotations

import itertools
from math import comb

import numpy as np
import pytest

import varkel
from varkel._blocks.beam import beam_order
from varkel._blocks.candidates import CandidateScore, candidate_parents
from varkel._blocks.large import large_search, large_settings
from varkel._blocks.moves import LocalSearch, Precedence, best_insertion, grid_starts, window_order
from varkel._blocks.starts import pairwise_order
from varkel._blocks.state import StateFile
from varkel._search import prepare_search

ALL = -1  # a candidate mask with every bit set: the whole prefix


def searched(X: np.ndarray) -> tuple[list[np.ndarray], list[np.ndarray]]:
    prepared = prepare_search(X, search="large")
    return [prepared.searched], [prepared.reference_vector]


def slow_score(Z: np.ndarray, R: np.ndarray, v: int, parents: list[int]) -> float:
    """A variable's score on the given parents, by NumPy's least squares."""
    x = Z[:, v]
    residual = x - Z[:, parents] @ np.linalg.lstsq(Z[:, parents], x, rcond=None)[0] \
        if parents else x
    z = np.sort(residual / np.sqrt(np.mean(residual**2)))
    return float(np.mean((z - R) ** 2))


@pytest.mark.parametrize("seed", range(3))
def test_a_beam_as_wide_as_every_level_is_the_exact_search(seed):
    n = 8 + 2 * seed
    sim = varkel.simulate_dag(n, 400, seed=seed, edge_probability=0.4, noise="laplace")
    pk = -np.ones((n, n))
    pk[sim.order[1], sim.order[-1]] = 0  # a constraint against the truth
    matrices, references = searched(sim.X)
    score = CandidateScore(matrices, references, [ALL] * n)
    exact = varkel.causal_order(sim.X, prior_knowledge=pk if seed else None)
    precedence = Precedence(prepare_search(sim.X, prior_knowledge=pk).successors
                            if seed else None, n)
    assert beam_order(score, comb(n, n // 2), precedence, lambda k: None) == exact.order
    assert score.total(exact.order) == pytest.approx(exact.total, rel=1e-6)


def test_candidate_parents_are_the_markov_blankets():
    rng = np.random.default_rng(1)
    Z = rng.standard_normal((2000, 6))
    Z[:, 1] += Z[:, 0]
    Z[:, 2] += 0.5 * Z[:, 1] - Z[:, 3]  # 0 -> 1 -> 2 <- 3; 4 and 5 alone
    Z -= Z.mean(axis=0)
    kept = candidate_parents([Z], threshold=0.1)
    pairs = {frozenset((u, v)) for v in range(6) for u in range(6) if kept[v] >> u & 1}
    # Neighbours, and 1 and 3 as parents of one child; 0 and 2 are related
    # through 1 only.
    assert pairs == {frozenset(p) for p in ((0, 1), (1, 2), (2, 3), (1, 3))}
    assert all(kept[v] >> u & 1 == kept[u] >> v & 1 for u in range(6) for v in range(6))


@pytest.fixture(scope="module")
def forty():
    sim = varkel.simulate_dag(40, 800, seed=7, edge_probability=0.08, noise="laplace")
    matrices, references = searched(sim.X)
    settings = large_settings(40, 800, beam=None, window=6)
    score = CandidateScore(matrices, references, candidate_parents(matrices, settings.threshold))
    order, total = large_search(matrices, references, None, settings, regressed_out=0,
                                threads=1, progress=None, state=StateFile(None, "", ""),
                                mpi=False)
    return sim, matrices, references, score, order, total


def test_the_found_order_is_a_local_optimum_of_every_move(forty):
    _, matrices, references, score, order, total = forty
    assert total == score.total(order)
    precedence = Precedence(None, 40)
    assert all(best_insertion(score, order, v, precedence) is None for v in order)
    for v in order[::4]:  # every position of v, each order summed afresh
        rest = [u for u in order if u != v]
        assert max(score.total([*rest[:b], v, *rest[b:]]) for b in range(40)) <= total + 1e-12
    Z, R = matrices[0], references[0]
    for start in grid_starts(40, 6)[::2]:
        # Each window against every order of its variables, scored in NumPy
        # on the candidates before it.
        window = order[start:start + 6]

        def total_of(window_order, window=window, start=start):
            placed, value = set(order[:start]), 0.0
            for v in window_order:
                parents = sorted(u for u in placed if score.candidates[v] >> u & 1)
                value += slow_score(Z, R, v, parents)
                placed.add(v)
            return value

        best = max(total_of(p) for p in itertools.permutations(window))
        assert best <= total_of(window) + 1e-9
        found = window_order(score, order, start, 6, precedence)
        assert total_of(found) == pytest.approx(best, abs=1e-9)


def test_a_variable_moved_far_is_brought_back_where_windows_stall(forty):
    sim, _, _, score, order, total = forty
    # A root with children early in the order, planted at the end: passing
    # the variables that are not its candidate children changes no score,
    # so no window can take a first step back; one insertion can.
    position = {v: k for k, v in enumerate(order)}
    root = min((v for v in order if np.any(sim.adjacency[:, v])), key=position.get)
    planted = [v for v in order if v != root] + [root]
    precedence = Precedence(None, 40)
    windowed, local = list(planted), LocalSearch(score, precedence, 4, lambda: None)
    while local.window_sweep(windowed, grid_starts(40, 4)):
        pass
    assert score.total(windowed) < total
    moved = local.run(planted)
    assert score.total(moved) >= total - 1e-9 and moved.index(root) < 39 - 4


def test_constraints_inside_a_large_block_hold(forty):
    sim = forty[0]
    truth = sim.order
    pk = -np.ones((40, 40))
    against = [(truth[30], truth[2]), (truth[25], truth[24]), (truth[39], truth[10])]
    for first, later in against:  # first before later, against the truth
        pk[first, later] = 0
    found = varkel.causal_order(sim.X, prior_knowledge=pk, window=6, search="large")
    position = {v: k for k, v in enumerate(found.order)}
    assert all(position[first] < position[later] for first, later in against)
    assert found.search.startswith("large")


def test_the_total_never_falls_below_the_start(forty):
    _, matrices, references, score, _, _ = forty
    rng = np.random.default_rng(3)
    for _ in range(3):
        start = [int(v) for v in rng.permutation(40)]
        _, total = large_search(matrices, references, None,
                                    large_settings(40, 800, beam=None, window=5),
                                    regressed_out=0, threads=1, progress=None,
                                    state=StateFile(None, "", ""), mpi=False, start=start)
        assert total >= score.total(start)


@pytest.mark.parametrize(("options", "message"), [
    ({"search": "wide"}, "search must be one of 'auto', 'exact', 'window', 'large', got 'wide'"),
    ({"search": None}, "search must be one of"),
    ({"beam": 0}, "beam must be None or a whole number of at least 1, got 0"),
    ({"beam": 2.5}, "beam must be None or a whole number of at least 1, got 2.5"),
    ({"beam": True}, "got True"),
    ({"beam": 4, "search": "window"}, "beam= is the large search's; search='window' has none"),
    ({"window": -3}, "window must be None or a whole number from 2 to 25, got -3"),
])
def test_bad_search_and_beam_are_one_line(options, message):
    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    with pytest.raises(varkel.InputError, match=message.replace("(", r"\(")):
        varkel.causal_order(X, **options)


def edges_in_order(adjacency: np.ndarray, order: list[int]) -> float:
    """The share of the true edges j -> i that the order puts j before i."""
    position = {v: k for k, v in enumerate(order)}
    children, parents = np.nonzero(adjacency)
    return float(np.mean([position[j] < position[i] for i, j in zip(children, parents,
                                                                    strict=True)]))


def test_groups_and_series_are_searched_large_past_thirty_variables():
    groups = varkel.simulate_groups(32, [400, 400], seed=3, edge_probability=0.1)
    model = varkel.MultiGroupExhaustiveLiNGAM(window=5, search="large").fit(
        [g.X for g in groups])
    assert model.search_.startswith("large (pairwise start, windows w=5")
    assert edges_in_order(groups[0].adjacency, model.causal_order_) > 0.95
    series = varkel.simulate_var(32, 800, seed=4, edge_probability=0.1)
    fitted = varkel.VARExhaustiveLiNGAM(window=5, search="large").fit(series.X)
    assert fitted.search_.startswith("large")
    assert edges_in_order(series.adjacency[0], fitted.causal_order_) > 0.95


@pytest.mark.skipif("not __import__('test_levels').MPIEXEC.exists() "
                    "or __import__('test_levels').SANITIZED")
def test_mpi_ranks_find_the_order_one_process_finds(tmp_path):
    from test_levels import mpiexec

    code = """
        import numpy as np, varkel
        from mpi4py import MPI
        sim = varkel.simulate_dag(36, 500, seed=2, edge_probability=0.1)
        found = varkel.causal_order(sim.X, mpi=True, threads=1, window=4, search="large")
        print(MPI.COMM_WORLD.Get_rank(), found.total.hex(), found.order)
    """
    done = mpiexec(2, "-c", __import__("textwrap").dedent(code))
    assert done.returncode == 0, done.stderr
    sim = varkel.simulate_dag(36, 500, seed=2, edge_probability=0.1)
    alone = varkel.causal_order(sim.X, window=4, search="large")
    lines = sorted(done.stdout.splitlines())
    expected = f"{alone.total.hex()} {alone.order}"
    assert [line.split(" ", 1)[1] for line in lines] == [expected] * 2


def slow_pairwise_order(X: np.ndarray, must_precede: dict[int, set[int]]) -> list[int]:
    """DirectLiNGAM's rule pair by pair: the next variable is the one whose
    pairwise likelihood ratios against the others left are least negative
    (squared negative parts summed), with maximum-entropy approximations."""
    def standard(u: np.ndarray) -> np.ndarray:
        return (u - u.mean()) / u.std()

    def entropy(u: np.ndarray) -> float:
        return float((1 + np.log(2 * np.pi)) / 2 - 79.047 * (np.mean(np.log(np.cosh(u)))
                     - 0.37457) ** 2 - 7.4129 * np.mean(u * np.exp(-u * u / 2)) ** 2)

    R, remaining, order = X.astype(float).copy(), list(range(X.shape[1])), []
    while remaining:
        allowed = [v for v in remaining if must_precede.get(v, set()) <= set(order)]
        measures = []
        for i in allowed:
            measure = 0.0
            for j in (j for j in remaining if j != i):
                xi, xj = standard(R[:, i]), standard(R[:, j])
                r = np.mean(xi * xj)
                ratio = (entropy(xj) + entropy(standard(xi - r * xj))
                         - entropy(xi) - entropy(standard(xj - r * xi)))
                measure += min(0.0, ratio) ** 2
            measures.append(measure)
        chosen = allowed[int(np.argmin(measures))]
        order.append(chosen)
        remaining.remove(chosen)
        x = R[:, chosen] - R[:, chosen].mean()
        for k in remaining:
            R[:, k] -= x * (x @ (R[:, k] - R[:, k].mean())) / (x @ x)
    return order


@pytest.mark.parametrize(("seed", "must_precede"), [
    (0, {}), (1, {}), (2, {v: set(range(v - 2)) for v in range(2, 9)}),
    (3, {v: {0, 1} for v in range(2, 9)} | {5: {0, 1, 7}})])
def test_the_pairwise_start_is_directlingams_rule(seed, must_precede):
    X = varkel.simulate_dag(9, 400, seed=seed, edge_probability=0.4).X
    successors = [sum(1 << b for b, before in must_precede.items() if a in before)
                  for a in range(9)]
    for threads in (1, 2):
        assert pairwise_order([prepare_search(X).searched], Precedence(successors, 9),
                              threads=threads, step=lambda *_: None) == \
            slow_pairwise_order(X, must_precede)
