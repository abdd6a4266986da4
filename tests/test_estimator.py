"""ExhaustiveLiNGAM: prior knowledge, the pruned graph, bootstrap, pictures."""

from __future__ import annotations

import itertools
import os
import stat
import struct

import numpy as np
import pandas as pd
import pydot
import pytest

import varkel
from varkel import _engine as engine


def f32(x: float) -> float:
    """Rounds a double to float32 (as a double); overflow gives infinity."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return float("inf") if x > 0 else float("-inf")


def random_prior(rng: np.random.Generator, n: int) -> np.ndarray:
    """Mostly unknown entries, some 0s and a few 1s consistent with an order."""
    hidden = rng.permutation(n)
    pk = -np.ones((n, n), dtype=int)
    for a, b in itertools.permutations(range(n), 2):
        # b is an ancestor of a only if b comes first in the hidden order.
        b_first = list(hidden).index(b) < list(hidden).index(a)
        roll = rng.random()
        if roll < 0.15 and b_first:
            pk[a, b] = 1
        elif roll < 0.35 and not b_first:
            pk[a, b] = 0
    return pk


def allowed(order, pk) -> bool:
    position = {v: k for k, v in enumerate(order)}
    for i, j in itertools.permutations(range(len(order)), 2):
        if pk[i, j] == 1 and position[j] > position[i]:
            return False
        if pk[i, j] == 0 and pk[j, i] != 0 and position[i] > position[j]:
            return False
    return True


def brute_force_best(Z, R, pk):
    """Best float32 chain total over every allowed permutation, with the
    engine's own scores (a total is accumulated in float32 from the first
    variable on, as the search does)."""
    n = Z.shape[1]
    C = engine.gram(Z)
    cache = {}

    def score(target, parents):
        if (target, parents) not in cache:
            cache[target, parents] = f32(engine.score(Z, C, R, target, parents))
        return cache[target, parents]

    best = float("-inf")
    for order in itertools.permutations(range(n)):
        if not allowed(order, pk):
            continue
        total, prefix = 0.0, 0
        for v in order:
            total = f32(total + score(v, prefix))
            prefix |= 1 << v
        best = max(best, total)
    return best


@pytest.mark.parametrize("seed", range(8))
def test_constrained_search_is_exactly_the_best_allowed_order(seed):
    rng = np.random.default_rng(seed)
    n = 4 + seed % 3
    X, _ = varkel.simulate_lingam(n, 200, seed=seed)
    pk = random_prior(rng, n)
    result = varkel.causal_order(X, prior_knowledge=pk)
    assert allowed(result.order, pk)
    Z = (X - X.mean(axis=0)) / X.std(axis=0)
    assert result.total == brute_force_best(Z, result.reference_vector, pk)


def test_every_constraint_is_enforced_even_against_the_data():
    X, truth = varkel.simulate_lingam(5, 2000, seed=1)
    pk = -np.ones((5, 5), dtype=int)
    first, last = truth[0], truth[-1]
    pk[first, last] = 1  # declare the true effect an ancestor of the true root
    order = varkel.ExhaustiveLiNGAM(prior_knowledge=pk).fit(X).causal_order_
    assert order.index(last) < order.index(first)
    assert order != truth


def test_mutual_zeros_add_no_order_constraint():
    X, _ = varkel.simulate_lingam(5, 500, seed=2)
    pk = -np.ones((5, 5), dtype=int)
    pk[1, 3] = pk[3, 1] = 0
    free = varkel.causal_order(X)
    assert varkel.causal_order(X, prior_knowledge=pk) == free


def test_forbidden_edges_are_absent_from_the_graph():
    sim = varkel.simulate_dag(6, 1000, seed=4, edge_probability=0.6)
    free = varkel.ExhaustiveLiNGAM().fit(sim.X).adjacency_matrix_
    i, j = (int(v) for v in np.argwhere(free != 0)[0])
    pk = -np.ones((6, 6), dtype=int)
    pk[i, j] = 0  # x_j -> x_i is forbidden (and x_i must come before x_j)
    B = varkel.ExhaustiveLiNGAM(prior_knowledge=pk).fit(sim.X).adjacency_matrix_
    assert B[i, j] == 0


def test_a_forbidden_edge_does_not_forbid_the_reverse_edge():
    # x0 -> x1 strongly; pk[1, 0] = 0 says x0 is not an ancestor of x1, so
    # x1 must come first, and the reversed edge x1 -> x0 is what the data
    # then show: it is allowed and must be found.
    sim = varkel.simulate_dag(3, 1000, seed=1, edge_probability=0.0)
    X = sim.X.copy()
    X[:, 1] += 2.0 * X[:, 0]
    pk = -np.ones((3, 3), dtype=int)
    pk[1, 0] = 0
    model = varkel.ExhaustiveLiNGAM(prior_knowledge=pk).fit(X)
    assert model.causal_order_.index(1) < model.causal_order_.index(0)
    assert model.adjacency_matrix_[1, 0] == 0 and model.adjacency_matrix_[0, 1] != 0


def test_a_prior_with_nan_on_its_diagonal_is_accepted():
    X, _ = varkel.simulate_lingam(3, 200, seed=1)
    pk = -np.ones((3, 3))
    np.fill_diagonal(pk, np.nan)
    assert varkel.causal_order(X, prior_knowledge=pk) == varkel.causal_order(X)


@pytest.mark.parametrize(
    ("entries", "message"),
    [
        ({(0, 1): 1, (1, 0): 1}, r"pk\[0, 1\] = pk\[1, 0\] = 1 declares 'x0' and 'x1'"),
        ({(1, 0): 1, (2, 1): 1, (0, 2): 1},
         r"'x0' before 'x1' before 'x2' before 'x0' \(pk\[1, 0\] = 1; pk\[2, 1\] = 1; "
         r"pk\[0, 2\] = 1\)"),
        ({(0, 1): 0, (1, 2): 0, (0, 2): 1},
         r"'x0' before 'x1' before 'x2' before 'x0' \(pk\[0, 1\] = 0; pk\[1, 2\] = 0; "
         r"pk\[0, 2\] = 1\)"),
    ],
)
def test_contradictory_prior_knowledge_names_the_cycle(entries, message):
    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    pk = -np.ones((4, 4), dtype=int)
    for place, value in entries.items():
        pk[place] = value
    with pytest.raises(varkel.InputError, match=message):
        varkel.ExhaustiveLiNGAM(prior_knowledge=pk).fit(X)


# -- the pruned graph -----------------------------------------------------------

def edge_scores(found: np.ndarray, true: np.ndarray) -> tuple[float, float]:
    found_edges, true_edges = found != 0, true != 0
    hits = np.sum(found_edges & true_edges)
    return hits / max(found_edges.sum(), 1), hits / max(true_edges.sum(), 1)


def test_sparse_dags_are_recovered_with_high_precision_and_recall():
    precision, recall = [], []
    for seed in range(6):
        sim = varkel.simulate_dag(7, 2000, seed=seed, edge_probability=0.4)
        model = varkel.ExhaustiveLiNGAM().fit(sim.X)
        p, r = edge_scores(model.adjacency_matrix_, sim.adjacency)
        precision.append(p)
        recall.append(r)
        # Weights land near the truth where the edge exists.
        both = (model.adjacency_matrix_ != 0) & (sim.adjacency != 0)
        assert np.allclose(model.adjacency_matrix_[both], sim.adjacency[both], atol=0.15)
    assert np.mean(precision) >= 0.9 and np.mean(recall) >= 0.9, (precision, recall)


def test_adjacency_is_zero_where_the_order_forbids_an_edge():
    sim = varkel.simulate_dag(6, 1000, seed=3)
    model = varkel.ExhaustiveLiNGAM().fit(sim.X)
    position = {v: k for k, v in enumerate(model.causal_order_)}
    B = model.adjacency_matrix_
    assert all(B[i, j] == 0 for i in range(6) for j in range(6) if position[j] >= position[i])


def test_fit_follows_scikit_learn_conventions():
    sim = varkel.simulate_dag(4, 500, seed=1)
    model = varkel.ExhaustiveLiNGAM(threads=1)
    assert model.fit(sim.X) is model
    assert model.get_params() == {"prior_knowledge": None, "threads": 1, "random_state": None,
                                  "margins": None, "tiers": None, "search": "auto",
                                  "window": None, "beam": None}
    assert model.n_features_in_ == 4 and not hasattr(model, "feature_names_in_")
    assert model.adjacency_matrix_.shape == (4, 4)
    with pytest.raises(varkel.InputError, match="not fitted"):
        varkel.ExhaustiveLiNGAM().to_dot()


def test_adjacency_is_in_the_data_units_at_any_scale():
    sim = varkel.simulate_dag(5, 1000, seed=8, edge_probability=0.5)
    B = varkel.ExhaustiveLiNGAM().fit(sim.X).adjacency_matrix_
    scale = np.array([1e-150, 1.0, 3e100, 7.0, 1e200])
    scaled = varkel.ExhaustiveLiNGAM().fit(sim.X * scale).adjacency_matrix_
    np.testing.assert_allclose(scaled, B * scale[:, None] / scale[None, :], rtol=1e-9)
    subnormal = varkel.ExhaustiveLiNGAM().fit(sim.X * 1e-310).adjacency_matrix_
    np.testing.assert_allclose(subnormal, B, rtol=1e-9, atol=1e-12)


# -- names, bootstrap, pictures -------------------------------------------------

NAMES = ["rain", "sprinkler", "wet grass", 'the "road"', "slippery"]


@pytest.fixture(scope="module")
def frame():
    sim = varkel.simulate_dag(5, 800, seed=11, edge_probability=0.5)
    return pd.DataFrame(sim.X, columns=NAMES), sim


def test_names_flow_from_a_dataframe(frame):
    data, sim = frame
    model = varkel.ExhaustiveLiNGAM().fit(data)
    assert list(model.feature_names_in_) == NAMES
    dot = model.to_dot()
    graph = pydot.graph_from_dot_data(dot)[0]
    assert sorted(node.get_name()[1:-1] for node in graph.get_nodes()
                  if node.get_name() != "node") == sorted(n.replace('"', '\\"') for n in NAMES)
    assert len(graph.get_edges()) == np.count_nonzero(model.adjacency_matrix_)
    assert model.causal_order_ == varkel.ExhaustiveLiNGAM().fit(sim.X).causal_order_


def test_bootstrap_is_reproducible_whatever_the_threads(frame):
    data, _ = frame
    one = varkel.ExhaustiveLiNGAM(threads=1, random_state=5).bootstrap(data, 12)
    many = varkel.ExhaustiveLiNGAM(threads=0, random_state=5).bootstrap(data, 12)
    assert one == many
    assert one.adjacency_matrices_.shape == (12, 5, 5)
    assert one.causal_orders_.shape == (12, 5)
    assert one.feature_names_ == NAMES
    other = varkel.ExhaustiveLiNGAM(random_state=6).bootstrap(data, 12)
    assert other != one


def test_each_resample_is_fixed_by_its_index(frame):
    from varkel._bootstrap import resample_rows, resampling_seed

    data, _ = frame
    boot = varkel.ExhaustiveLiNGAM(random_state=7).bootstrap(data, 6)
    seed = resampling_seed(7)
    for index in (0, 5):
        rows = resample_rows(seed, index, len(data))
        alone = varkel.ExhaustiveLiNGAM().fit(data.iloc[rows])
        assert list(boot.causal_orders_[index]) == alone.causal_order_
        assert np.array_equal(boot.adjacency_matrices_[index], alone.adjacency_matrix_)


def test_unsearchable_resamples_are_skipped_and_counted():
    # An indicator set in one row: a resample that misses the row has a
    # constant column.
    X = np.random.default_rng(0).laplace(size=(40, 3))
    X[:, 2] = 0.0
    X[0, 2] = 1.0
    boot = varkel.ExhaustiveLiNGAM(random_state=0).bootstrap(X, 20)
    skipped = boot.skipped_resamples_
    assert 0 < len(skipped) <= 10
    assert boot.causal_orders_.shape == (20 - len(skipped), 3)
    assert boot.adjacency_matrices_.shape == (20 - len(skipped), 3, 3)


@pytest.mark.parametrize(("failing", "refused"), [(10, False), (11, True)])
def test_a_bootstrap_where_most_resamples_fail_is_refused(frame, monkeypatch, failing, refused):
    import varkel._estimator as estimator

    calls = []

    def failing_prepare(values, names, *, scale):
        calls.append(None)
        if len(calls) <= failing:
            raise varkel.InputError("planted")
        return real(values, names, scale=scale)

    real = estimator.prepare_values
    monkeypatch.setattr(estimator, "prepare_values", failing_prepare)
    model = varkel.ExhaustiveLiNGAM(threads=1, random_state=0)
    if refused:
        with pytest.raises(varkel.InputError, match=r"^11 of 20 bootstrap resamples could not "
                                                    r"be searched; resample 0: planted$"):
            model.bootstrap(frame[0], 20)
    else:
        assert len(model.bootstrap(frame[0], 20).skipped_resamples_) == 10


def test_a_bootstrap_too_large_for_memory_is_refused_up_front(frame):
    with pytest.raises(MemoryError, match="bootstrap resamples of 5 variables need"):
        varkel.ExhaustiveLiNGAM().bootstrap(frame[0], 10**15)


def test_bootstrap_probabilities(frame):
    data, _ = frame
    result = varkel.ExhaustiveLiNGAM(random_state=1).bootstrap(data, 10)
    edges = result.get_probabilities()
    strong = result.get_probabilities(min_causal_effect=0.5)
    order = result.get_order_probabilities()
    for matrix in (edges, strong, order):
        assert matrix.shape == (5, 5) and np.all((matrix >= 0) & (matrix <= 1))
    assert np.all(strong <= edges) and np.all(np.diag(edges) == 0)
    # j before i or i before j, in every resample.
    np.testing.assert_allclose(order + order.T + np.eye(5), np.ones((5, 5)))
    with pytest.raises(varkel.InputError):
        result.get_probabilities(min_causal_effect=-1)


def test_to_dot_carries_weights_and_probabilities(frame):
    data, _ = frame
    model = varkel.ExhaustiveLiNGAM(random_state=2).fit(data)
    boot = model.bootstrap(data, 5)
    graph = pydot.graph_from_dot_data(model.to_dot(boot))[0]
    labels = [edge.get_label().strip('"') for edge in graph.get_edges()]
    assert labels and all("(p=" in label for label in labels)
    i, j = (int(v) for v in np.argwhere(model.adjacency_matrix_ != 0)[0])
    assert f"{model.adjacency_matrix_[i, j]:.3g}" in " ".join(labels)


def test_plot_writes_a_png_with_names_drawn_as_written(frame, tmp_path):
    data, _ = frame
    names = ["$\\foo$", "$a$", *NAMES[2:]]  # not TeX, and '\\foo' would not parse as TeX
    model = varkel.ExhaustiveLiNGAM().fit(data.set_axis(names, axis=1))
    ax = model.plot()
    path = tmp_path / "graph.png"
    ax.figure.savefig(path)
    content = path.read_bytes()
    assert content.startswith(b"\x89PNG\r\n\x1a\n") and len(content) > 10_000
    drawn = {t.get_text(): t for t in ax.texts}
    assert all(not drawn[name].get_parse_math() for name in names)


def test_plot_uses_graphviz_positions_when_dot_is_installed(frame, tmp_path, monkeypatch):
    data, _ = frame
    model = varkel.ExhaustiveLiNGAM().fit(data)
    # A stand-in for Graphviz's dot -Tplain: every node on a diagonal.
    fake = tmp_path / "dot"
    lines = ["graph 1 10 10"] + [f'node "{name}" {k} {k} 1 1 x solid ellipse black lightgrey'
                                 for k, name in enumerate(NAMES)] + ["stop"]
    body = "\n".join(lines).replace('"the "road""', '"the \\"road\\""')
    fake.write_text("#!/bin/sh\ncat > /dev/null\ncat <<'EOF'\n" + body + "\nEOF\n")
    fake.chmod(fake.stat().st_mode | stat.S_IEXEC)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    ax = model.plot()
    centres = sorted((round(t.get_position()[0]), round(t.get_position()[1]))
                     for t in ax.texts if t.get_text() in NAMES)
    assert centres == [(k, k) for k in range(5)]


@pytest.mark.parametrize("change", [lambda d: d[d.columns[::-1]],
                                    lambda d: d.rename(columns={NAMES[0]: "other"})])
def test_a_frame_with_other_columns_than_the_fitted_ones_is_refused(frame, change):
    data, _ = frame
    model = varkel.ExhaustiveLiNGAM().fit(data)
    for call in (lambda X: model.estimate_total_effect(X, 0, 1), model.diagnostics,
                 model.get_error_independence_p_values):
        with pytest.raises(varkel.InputError, match="not the ones the model was fitted on"):
            call(change(data))
    groups = varkel.MultiGroupExhaustiveLiNGAM().fit([data, data])
    with pytest.raises(varkel.InputError, match=r"group 0: .* not the ones the model was"):
        groups.estimate_total_effect([change(data), change(data)], 0, 1)


@pytest.mark.parametrize(("column", "kind"), [
    (pd.date_range("2020-01-01", periods=100), "datetime64"),
    (pd.to_timedelta(np.arange(100), unit="s"), "timedelta64"),
    (pd.Categorical(np.arange(100) % 7), "category"),
    (pd.Series(np.arange(100).astype(str), dtype=object), "object"),
])
def test_non_numeric_frame_columns_are_refused_by_name(column, kind):
    data = pd.DataFrame(np.random.default_rng(0).uniform(size=(100, 2)), columns=["a", "b"])
    data["when"] = column
    with pytest.raises(varkel.InputError, match=rf"column 'when' holds {kind}.* not numbers"):
        varkel.ExhaustiveLiNGAM().fit(data)
    data["when"] = np.arange(100) % 2 == 0  # booleans are 0 and 1
    varkel.causal_order(data)


@pytest.mark.parametrize("random_state", ["a", -1, 1.5])
def test_a_bad_random_state_is_refused_by_fit(random_state):
    X, _ = varkel.simulate_lingam(3, 100, seed=1)
    with pytest.raises(varkel.InputError, match="random_state must be None, a non-negative"):
        varkel.ExhaustiveLiNGAM(random_state=random_state).fit(X)


def test_a_bootstrap_of_other_data_is_refused_by_the_pictures(frame):
    data, _ = frame
    model = varkel.ExhaustiveLiNGAM().fit(data)
    wider = data.assign(extra=np.random.default_rng(0).uniform(size=len(data)))
    other = varkel.ExhaustiveLiNGAM(random_state=0).bootstrap(wider, 2)
    for draw in (model.to_dot, lambda b: model.plot(bootstrap=b)):
        with pytest.raises(varkel.InputError, match="the bootstrap is of other data"):
            draw(other)


def test_a_constant_custom_reference_is_refused():
    X, _ = varkel.simulate_lingam(3, 100, seed=1)
    with pytest.raises(varkel.InputError, match="reference values are all equal"):
        varkel.causal_order(X, reference=np.ones(100))
