"""varkel.causal_order: results, refusals, and the mended faults."""

from __future__ import annotations

import numpy as np
import pytest

import varkel
from conftest import in_columns
from varkel import _engine as engine
from varkel._data import prepare


@pytest.mark.parametrize("seed", range(4))
def test_recovers_fully_connected_order(seed):
    X, truth = varkel.simulate_lingam(6, 3000, seed)
    result = varkel.causal_order(X)
    assert result.order == truth
    assert result.reference == "normal"
    assert result.sinks.shape == (64,)


def test_result_does_not_depend_on_threads_or_units():
    X, _ = varkel.simulate_lingam(7, 500, seed=9)
    one = varkel.causal_order(X, threads=1)
    scaled = varkel.causal_order(X * np.arange(1, 8) + 3.0, threads=2)
    assert one.order == scaled.order


@pytest.mark.parametrize("layout", [np.copy, np.asfortranarray, in_columns])
@pytest.mark.parametrize("n_samples", [300, 70_000])  # a column summed in one block, and two
def test_copy_false_standardises_the_array_in_place_to_the_same_result(layout, n_samples):
    X, _ = varkel.simulate_lingam(5, n_samples, seed=4)
    owned = layout(X)
    result = varkel.causal_order(owned, copy=False, names=list("abcde"))
    assert result == varkel.causal_order(X, names=list("abcde"))
    assert result.names == list("abcde") and not np.array_equal(owned, X)
    # The bits of the copy the search would otherwise have made.
    assert np.array_equal(owned, prepare(X, scale=True))


def test_search_is_the_engines_on_the_standardised_data():
    X, _ = varkel.simulate_lingam(5, 300, seed=4)
    result = varkel.causal_order(X)
    Z = (X - X.mean(axis=0)) / X.std(axis=0)
    sinks, total = engine.search(Z, None, varkel.reference_vector("normal", 300))
    assert np.array_equal(result.sinks, sinks) and result.total == total


def test_progress_is_reported():
    X, _ = varkel.simulate_lingam(10, 500, seed=1)
    seen = []
    varkel.causal_order(X, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (10 * 2**9, 10 * 2**9)


@pytest.mark.parametrize(
    ("mutate", "message"),
    [
        (lambda X: X.__setitem__((4, 2), np.nan), r"^X\[4, 2\] \(x2\) is nan: values must be"),
        (lambda X: X.__setitem__((7, 0), -np.inf), r"^X\[7, 0\] \(x0\) is -inf"),
        (lambda X: X.__setitem__((slice(None), 1), 5.0), r"^column 'x1' is constant"),
    ],
)
def test_bad_values_are_refused_with_their_place(mutate, message):
    X, _ = varkel.simulate_lingam(4, 50, seed=1)
    mutate(X)
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X)


RNG = np.random.default_rng(0)


@pytest.mark.parametrize(
    ("X", "kwargs", "message"),
    [
        (np.ones((5, 5)), {}, "5 samples for 5 variables; it needs at least 6"),
        (RNG.standard_normal((40, 31)), {"search": "exact"}, "at most 30"),
        (np.ones(10), {}, "two-dimensional"),
        ([["a", "b"], ["c", "d"]], {}, "numeric matrix"),
        (RNG.standard_normal((9, 2)), {"reference": "cauchy"}, "unknown reference 'cauchy'"),
        (RNG.standard_normal((9, 2)), {"reference": np.ones(8)}, "vector of 9 values"),
        (RNG.standard_normal((9, 2)), {"reference": [np.nan] * 9}, "must be finite"),
        (RNG.standard_normal((9, 2)), {"threads": -1}, "non-negative"),
        (RNG.standard_normal((9, 2)), {"threads": 1.5}, "non-negative integer"),
        (RNG.standard_normal((9, 2)), {"prior_knowledge": np.zeros((3, 3))}, r"shape \(2, 2\)"),
        (RNG.standard_normal((9, 2)), {"prior_knowledge": [[0, 2], [0, 0]]}, "must be -1"),
        (np.ones((1, 3)), {}, "^X has 1 sample for 3 variables"),
        (RNG.standard_normal((9, 2)) * 1j, {}, "complex numbers"),
        (np.ma.masked_array(RNG.standard_normal((9, 2)), mask=np.eye(9, 2)), {}, "masked"),
    ],
)
def test_unsearchable_input_is_refused(X, kwargs, message):
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X, **kwargs)


def test_order_from_sinks_walks_the_table():
    # 3 variables; full set 7 -> sink 1; {0, 2} = 5 -> sink 0; {2} -> 2.
    sinks = np.array([-1, 0, 1, 0, 2, 0, 1, 1], dtype=np.int32)
    assert varkel.order_from_sinks(sinks, 3) == [2, 0, 1]
    sinks[5] = -1
    with pytest.raises(varkel.InputError, match=r"variables \[0, 2\]"):
        varkel.order_from_sinks(sinks, 3)
    sinks[5] = 1  # not a member of {0, 2}
    with pytest.raises(varkel.InputError, match="not a member"):
        varkel.order_from_sinks(sinks, 3)


@pytest.mark.parametrize("n", [2, 7, 1000])
def test_reference_vector_is_standardised_blom_normal(n):
    from statistics import NormalDist

    R = varkel.reference_vector("normal", n)
    q = np.array([NormalDist().inv_cdf((i - 0.375) / (n + 0.25)) for i in range(1, n + 1)])
    q = (q - q.mean()) / np.sqrt(np.mean((q - q.mean()) ** 2))
    np.testing.assert_allclose(R, q, rtol=0, atol=1e-14)


# -- faults found by trying the API as a new user, one test each ---------------

@pytest.mark.parametrize("name", ["uniform", "laplace"])
def test_the_noise_distribution_is_not_offered_as_a_reference(name):
    # Contrasting residuals with the noise's own distribution rewards the
    # wrong orders; only the null distribution is a named reference.
    assert varkel.REFERENCES == ("normal",)
    X, _ = varkel.simulate_lingam(4, 200, seed=1)
    with pytest.raises(varkel.InputError, match="null distribution"):
        varkel.causal_order(X, reference=name)


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda X: X[:, 0], r"columns 'x0' and 'x3' are collinear"),
        (lambda X: -2.5 * X[:, 0], r"columns 'x0' and 'x3' are collinear"),
        (lambda X: X[:, 0] + 1e-7 * X[:, 1], r"columns 'x0' and 'x3' are collinear"),
        (lambda X: X[:, 0] + X[:, 1], r"columns 'x0', 'x1' and 'x3' are linearly dependent"),
    ],
)
def test_collinear_columns_are_refused_naming_them(make, message):
    X, _ = varkel.simulate_lingam(4, 300, seed=3)
    X[:, 3] = make(X)
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X)


@pytest.mark.parametrize(("smallest", "refused"), [(1e-8, False), (1e-12, True)])
def test_collinearity_is_refused_only_below_its_tolerance(smallest, refused):
    # Two columns whose correlation leaves `smallest` as the correlation
    # matrix's smallest eigenvalue: a hundred times either side of 1e-10.
    X, _ = varkel.simulate_lingam(3, 400, seed=3)
    X[:, 2] = X[:, 0] + np.sqrt(2 * smallest) * X[:, 2] / X[:, 2].std() * X[:, 0].std()
    Z = (X - X.mean(axis=0)) / X.std(axis=0)
    assert 0.3 < np.linalg.eigvalsh(Z.T @ Z / len(Z))[0] / smallest < 3
    if refused:
        with pytest.raises(varkel.InputError, match="collinear"):
            varkel.causal_order(X)
    else:
        assert len(varkel.causal_order(X).order) == 3


def test_strongly_correlated_columns_are_still_searched():
    X, _ = varkel.simulate_lingam(4, 300, seed=3)
    X[:, 3] = X[:, 0] + 0.03 * X[:, 3]  # correlation about 0.9995
    assert len(varkel.causal_order(X).order) == 4


@pytest.mark.parametrize("scale", [1e200, 1e-300, 2.0**1000, 1e-310])
def test_any_finite_scale_gives_the_same_order_without_warnings(scale):
    X, truth = varkel.simulate_lingam(5, 2000, seed=2)
    assert varkel.causal_order(X * scale).order == varkel.causal_order(X).order == truth


def test_without_standardising_the_columns_are_still_centred():
    X, _ = varkel.simulate_lingam(5, 1000, seed=6)
    plain = varkel.causal_order(X, standardize=False)
    assert varkel.causal_order(X + 1e3, standardize=False) == plain
    with pytest.raises(varkel.InputError, match="too large to search without scaling"):
        varkel.causal_order(X * 1e200, standardize=False)


def test_results_compare_by_value():
    X, _ = varkel.simulate_lingam(4, 200, seed=1)
    a, b = varkel.causal_order(X), varkel.causal_order(X.copy())
    assert a == b and not a != b  # noqa: SIM202 - both operators
    assert a != varkel.causal_order(X[:, ::-1].copy())
    assert a != "not a result"


@pytest.mark.parametrize("threads", [np.int64(2), np.uint8(1), 2**64, 0])
def test_numpy_and_huge_thread_counts_are_accepted(threads):
    X, truth = varkel.simulate_lingam(4, 500, seed=1)
    assert varkel.causal_order(X, threads=threads).order == truth


@pytest.mark.parametrize("flag", ["no", 0, None])
def test_standardize_must_be_a_boolean(flag):
    X, _ = varkel.simulate_lingam(3, 50, seed=1)
    with pytest.raises(varkel.InputError, match="standardize must be True or False"):
        varkel.causal_order(X, standardize=flag)


@pytest.mark.parametrize(("shape", "message"), [
    ((0, 3), r"at least 1 sample and 1 variable, got 0 x 3"),
    ((5, -1), r"at least 1 sample and 1 variable, got 5 x -1"),
    ((2.5, 3), r"whole numbers of samples and variables, got 2.5 and 3"),
])
def test_column_tables_of_no_shape_are_refused(shape, message):
    with pytest.raises(varkel.InputError, match=message):
        varkel.column_table(*shape)


def test_every_refusal_is_an_input_error():
    X, _ = varkel.simulate_lingam(3, 50, seed=1)
    for kwargs in ({"threads": "2"}, {"reference": "uniform"}, {"standardize": "yes"},
                   {"reference": np.ones((2, 2))}):
        with pytest.raises(varkel.InputError):
            varkel.causal_order(X, **kwargs)
