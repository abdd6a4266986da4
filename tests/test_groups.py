"""One causal order shared by several data sets, and time series."""

from __future__ import annotations

import itertools
import json

import numpy as np
import pydot
import pytest

import varkel
from conftest import f64_bits
from test_cli import run_cli, write_csv
from test_levels import mpiexec, needs_mpi
from varkel import _engine as engine
from varkel._groups import prepare_groups


def group_data(n_vars, rows, seed=0):
    """Groups with one causal structure, their own weights and noise."""
    return [g.X for g in varkel.simulate_groups(n_vars, rows, seed, edge_probability=0.6,
                                                noise="laplace")]


def summed_score(searched, references, target, parents):
    """The groups' engine scores added left to right in double (not with
    sum(), which compensates rounding from Python 3.12 on)."""
    total = None
    for Z, R in zip(searched, references, strict=True):
        score = engine.score(Z, None, R, target, parents)
        total = score if total is None else total + score
    return total


def brute_force(searched, references, successors):
    """The best float32 total over every allowed order, each variable's
    score being the sum over the groups of the engine's own score."""
    n = searched[0].shape[1]
    score = {(t, P): summed_score(searched, references, t, P)
             for t in range(n) for P in range(1 << n) if not P >> t & 1}
    best, best_order = -np.inf, None
    for order in itertools.permutations(range(n)):
        if successors and any(successors[a] >> b & 1 and order.index(a) > order.index(b)
                              for a in range(n) for b in range(n)):
            continue
        total, placed = np.float32(0.0), 0
        for v in order:
            total = np.float32(np.float32(score[v, placed]) + total)
            placed |= 1 << v
        if total > best:
            best, best_order = total, list(order)
    return best_order, float(best)


@pytest.mark.parametrize(("n", "constrained"), [(3, False), (5, False), (6, True)])
def test_shared_order_equals_a_brute_force_over_summed_scores(n, constrained):
    groups = group_data(n, (60, 450, 130), seed=n)
    pk = None
    if constrained:  # x1 before x0; x2 not an ancestor of x3
        pk = -np.ones((n, n))
        pk[0, 1] = 1
        pk[3, 2] = 0
    prepared = prepare_groups(groups, pk)
    order, total = brute_force(prepared.searched, prepared.references, prepared.plan.successors)
    model = varkel.MultiGroupExhaustiveLiNGAM(prior_knowledge=pk).fit(groups)
    assert model.causal_order_ == order
    assert f64_bits(model.total_score_) == f64_bits(total)
    assert len(model.adjacency_matrices_) == 3
    # Every summed score, bit for bit: the groups' scores in group order.
    for t, P in itertools.product(range(n), range(1 << n)):
        if not P >> t & 1:
            want = summed_score(prepared.searched, prepared.references, t, P)
            assert f64_bits(engine.score(prepared.searched, None, prepared.references, t, P)) \
                == f64_bits(want)


def test_one_group_is_bit_identical_to_one_data_set():
    X, _ = varkel.simulate_lingam(6, 500, seed=4, noise="laplace")
    single = varkel.ExhaustiveLiNGAM().fit(X)
    grouped = varkel.MultiGroupExhaustiveLiNGAM().fit([X])
    assert grouped.causal_order_ == single.causal_order_
    assert f64_bits(grouped.total_score_) == f64_bits(single.total_score_)
    assert np.array_equal(grouped.adjacency_matrices_[0], single.adjacency_matrix_)
    assert np.array_equal(grouped.order_margins_, single.order_margins_)


def test_group_search_is_the_same_for_every_thread_count_and_pruning():
    groups = group_data(9, (700, 420, 1000), seed=2)
    prepared = prepare_groups(groups, None)
    Z, R = prepared.searched, prepared.references
    results = [engine.search(Z, None, R, threads=t, prune=p, slice_seconds=0.001)
               for t in (1, 2) for p in (False, True)]
    for sinks, total in results[1:]:
        assert np.array_equal(sinks, results[0][0]) and f64_bits(total) == f64_bits(results[0][1])
    found = [engine.order_margins(Z, None, R, None, threads=t) for t in (1, 2)]
    assert np.array_equal(found[0]["sinks"], results[0][0])
    assert found[0]["margins"].tobytes() == found[1]["margins"].tobytes()


def test_group_checkpoint_resumes_and_refuses_other_groups(tmp_path):
    groups = group_data(7, (300, 500), seed=5)
    plain = varkel.MultiGroupExhaustiveLiNGAM(margins=False).fit(groups)
    resumed = varkel.MultiGroupExhaustiveLiNGAM(margins=False)
    for _ in range(2):  # writes, then resumes from the complete checkpoint
        resumed.fit(groups, checkpoint=tmp_path)
        assert resumed.causal_order_ == plain.causal_order_
        assert f64_bits(resumed.total_score_) == f64_bits(plain.total_score_)
    with pytest.raises(varkel.InputError, match="other inputs"):
        resumed.fit(groups[::-1], checkpoint=tmp_path)


@needs_mpi
def test_groups_split_over_mpi_ranks_give_the_same_bits():
    code = """if True:
        import varkel
        from mpi4py import MPI
        groups = [g.X for g in varkel.simulate_groups(7, [300, 500], seed=1)]
        model = varkel.MultiGroupExhaustiveLiNGAM(threads=1).fit(groups, mpi=True)
        if MPI.COMM_WORLD.Get_rank() == 0:
            print(model.total_score_.hex(), *model.causal_order_)
    """
    done = mpiexec(2, "-c", code)
    assert done.returncode == 0, done.stderr
    alone = varkel.MultiGroupExhaustiveLiNGAM().fit(
        [g.X for g in varkel.simulate_groups(7, [300, 500], seed=1)])
    assert done.stdout.split() == [alone.total_score_.hex(), *map(str, alone.causal_order_)]


def test_group_bootstrap_is_reproducible_across_threads():
    groups = group_data(5, (250, 250), seed=6)
    runs = [varkel.MultiGroupExhaustiveLiNGAM(random_state=3, threads=t).bootstrap(groups, 6)
            for t in (1, 2)]
    assert runs[0] == runs[1]
    first, second = runs[0]
    assert np.array_equal(first.causal_orders_, second.causal_orders_)
    assert not np.array_equal(first.resampled_indices_, second.resampled_indices_)
    effects = varkel.MultiGroupExhaustiveLiNGAM().fit(groups)
    assert len(effects.estimate_total_effect(groups, 0, 1)) == 2


def frame(X, names):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(X, columns=list(names))


@pytest.mark.parametrize(("make", "message"), [
    (lambda g: [g[0], g[1][:, :3]], "group 1 has 3 columns, group 0 has 4"),
    (lambda g: [frame(g[0], "abcd"), frame(g[1], "abdc")], "group 1's column 2 is 'd'"),
    (lambda g: [g[0], np.where(np.arange(4) == 2, np.nan, g[1])], "group 1: X\\[0, 2\\]"),
    (lambda g: g[0], "must be a list of data sets"),
    (lambda g: [], "empty"),
])
def test_bad_groups_get_one_line(make, message):
    groups = group_data(4, (50, 60), seed=1)
    with pytest.raises(varkel.InputError, match=message) as error:
        varkel.MultiGroupExhaustiveLiNGAM().fit(make(groups))
    assert "\n" not in str(error.value)


def test_names_come_from_the_dataframes_among_the_groups():
    groups = group_data(3, (80, 90), seed=2)
    model = varkel.MultiGroupExhaustiveLiNGAM().fit([groups[0], frame(groups[1], "abc")])
    assert model.feature_names() == ["a", "b", "c"]


def edge_f1(true, found):
    t, f = true != 0, found != 0
    hits = int((t & f).sum())
    return 2 * hits / (t.sum() + f.sum()) if t.sum() + f.sum() else 1.0


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_var_recovers_instantaneous_and_lagged_edges(seed):
    sim = varkel.simulate_var(5, 2000, seed)
    model = varkel.VARExhaustiveLiNGAM().fit(sim.X)
    B = model.adjacency_matrices_
    assert model.lags_ == 1 and B.shape == (2, 5, 5)
    position = {v: k for k, v in enumerate(model.causal_order_)}
    targets, sources = np.nonzero(sim.adjacency[0])
    assert all(position[j] < position[i] for i, j in zip(targets, sources, strict=True))
    assert edge_f1(sim.adjacency[0], B[0]) >= 0.9
    assert edge_f1(sim.adjacency[1], B[1]) >= 0.9
    assert model.residuals_.shape == (1999, 5)


def test_var_chooses_the_lags_and_bootstraps_reproducibly():
    sim = varkel.simulate_var(3, 1500, 4, lags=2, edge_probability=0.5)
    assert varkel.VARExhaustiveLiNGAM(lags=4).fit(sim.X).lags_ == 2
    assert varkel.VARExhaustiveLiNGAM(lags=4, criterion=None).fit(sim.X).lags_ == 4
    runs = [varkel.VARExhaustiveLiNGAM(lags=2, random_state=1, threads=t).bootstrap(sim.X, 4)
            for t in (1, 2)]
    assert runs[0] == runs[1] and runs[0].adjacency_matrices_.shape == (4, 3, 9)


@pytest.mark.parametrize(("options", "rows", "message"), [
    ({"lags": 0}, 200, "lags must be at least 1"),
    ({"lags": 2}, 12, "the series has 12 time steps; 2 lags of 3 variables need at least 13"),
    ({"criterion": "mdl"}, 200, "criterion must be one of"),
])
def test_bad_series_get_one_line(options, rows, message):
    X = np.random.default_rng(0).laplace(size=(rows, 3))
    with pytest.raises(varkel.InputError, match=message):
        varkel.VARExhaustiveLiNGAM(**options).fit(X)


def test_cli_groups_and_lags(tmp_path):
    groups = group_data(4, (300, 400), seed=3)
    files = [write_csv(tmp_path / f"g{k}.csv", X) for k, X in enumerate(groups)]
    done = run_cli("graph", *files, "--groups", "--json", "--dot", str(tmp_path / "g.dot"))
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert [g["file"] for g in result["groups"]] == files
    assert all(f"group {f}: residuals: " in done.stderr for f in files)
    assert all(g["independence"]["pairs_tested"] == 6 for g in result["groups"])
    assert (tmp_path / "g.dot").read_text().count("subgraph cluster_") == 2
    refused = run_cli("graph", *files)
    assert refused.returncode == 2 and "add --groups" in refused.stderr
    other = write_csv(tmp_path / "other.csv", groups[1], names=["v0", "v1", "v3", "v2"])
    refused = run_cli("graph", files[0], other, "--groups")
    assert refused.returncode == 2 and "column 2 is 'v3'" in refused.stderr
    series = write_csv(tmp_path / "s.csv", varkel.simulate_var(3, 600, 0).X)
    done = run_cli("graph", series, "--lags", "2", "--json")
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert {edge["lag"] for edge in result["edges"]} <= set(range(result["lags"] + 1))
    assert any(edge["lag"] == 1 for edge in result["edges"])
    assert result["independence"]["pairs_tested"] == 3 and "residuals: " in done.stderr


@pytest.mark.parametrize("walk", [False, True])
def test_var_checks_its_instantaneous_residuals_and_stationarity(walk):
    X = varkel.simulate_var(3, 1000, 2).X
    if walk:
        X[:, 1] = np.cumsum(np.random.default_rng(0).laplace(size=1000))
    model = varkel.VARExhaustiveLiNGAM().fit(X)
    assert model.independence_.pairs_tested == 3
    assert ("non-stationary" in [d.kind for d in model.diagnostics(X)]) == walk


def test_groups_report_their_checks_per_group():
    groups = group_data(3, (400, 500), seed=1)
    groups[1][:, 2] = np.round(groups[1][:, 2] / 3)  # a few levels
    model = varkel.MultiGroupExhaustiveLiNGAM().fit(groups)
    assert len(model.independence_) == 2
    found = model.diagnostics(groups)
    assert "discrete" not in [d.kind for d in found[0]]
    assert "discrete" in [d.kind for d in found[1]]


def test_groups_and_lags_keep_their_nodes_and_files_apart(tmp_path):
    groups = group_data(3, (200, 300), seed=5)
    file = write_csv(tmp_path / "g.csv", groups[0])
    done = run_cli("graph", file, file, "--groups", "--dot", str(tmp_path / "g.dot"))
    assert done.returncode == 0, done.stderr
    graph = pydot.graph_from_dot_file(str(tmp_path / "g.dot"))[0]
    nodes = [n.get_name() for c in graph.get_subgraphs() for n in c.get_nodes()]
    assert len(set(nodes)) == len(nodes) == 6
    constant = groups[1].copy()
    constant[:, 2] = 1.0
    bad = write_csv(tmp_path / "bad.csv", constant)
    refused = run_cli("graph", file, bad, "--groups")
    assert refused.returncode == 2 and f"error: {bad}: column 'v2' is constant" in refused.stderr
    model = varkel.MultiGroupExhaustiveLiNGAM().fit(groups)
    with pytest.raises(varkel.InputError, match="groups names 1 groups; the model has 2"):
        model.to_dot(groups=["only one"])
    series = frame(varkel.simulate_var(2, 400, 0).X, ["x", "x(t-1)"])
    _, names, _ = varkel.VARExhaustiveLiNGAM().fit(series).unrolled_graph()
    assert len(set(names)) == len(names) == 4


def test_groups_bootstrap_draws_each_groups_rows_from_that_group():
    groups = group_data(3, (50, 500, 120), seed=4)
    results = varkel.MultiGroupExhaustiveLiNGAM(random_state=2).bootstrap(groups, 5)
    for result, X in zip(results, groups, strict=True):
        rows = result.resampled_indices_
        assert rows.shape == (5, len(X)) and rows.min() >= 0 and rows.max() < len(X)
        assert len(np.unique(rows)) > 0.5 * len(X)  # drawn over all of the group's rows
        assert len(result.total_effects_) == len(result.adjacency_matrices_) == 5
    assert not np.array_equal(results[0].adjacency_matrices_, results[1].adjacency_matrices_)


def test_pruned_groups_in_decreasing_length_give_the_unpruned_bits():
    groups = group_data(9, (1500, 700, 420), seed=8)
    searched = [(X - X.mean(axis=0)) / X.std(axis=0) for X in groups]
    refs = [varkel.reference_vector("normal", len(X)) for X in groups]
    plain = engine.search(searched, None, refs, prune=False, threads=2)
    for buffers in (0, 2):  # all candidates' residuals at once, or two at a time
        pruned = engine.search(searched, None, refs, prune=True, threads=2,
                               candidate_buffers=buffers)
        assert np.array_equal(pruned[0], plain[0]) and f64_bits(pruned[1]) == f64_bits(plain[1])


def test_var_bootstrap_simulates_from_the_fitted_process():
    rng = np.random.default_rng(3)
    e = rng.uniform(-1, 1, (3000, 2))
    X = np.zeros((3000, 2))
    for t in range(1, 3000):  # x -> y at lag 1, not y -> x
        X[t, 0] = 0.5 * X[t - 1, 0] + e[t, 0]
        X[t, 1] = 0.8 * X[t - 1, 0] + 0.2 * X[t - 1, 1] + e[t, 1]
    model = varkel.VARExhaustiveLiNGAM(random_state=1).fit(X)
    boot = model.bootstrap(X, 8)
    lagged = boot.adjacency_matrices_[:, :, 2:].mean(axis=0)
    assert np.allclose(lagged, model.adjacency_matrices_[1], atol=0.08)
    assert abs(model.adjacency_matrices_[1][1, 0] - 0.8) < 0.08
