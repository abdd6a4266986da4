"""The search against the slow reference, and its table semantics."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _exhaustive_kernel as kernel
import _exhaustive_testing as testing
import reference
from conftest import GROUP, f64_bits, make_problem, reference_search


@pytest.mark.parametrize("n_samples", [0, 1, 2, 3, 8, 9, 17, 64])
@pytest.mark.parametrize("n_vars", range(7))
def test_matches_reference_bit_for_bit(n_vars, n_samples):
    X, C, R = make_problem(n_vars, n_samples, seed=100 * n_vars + n_samples)
    sinks, total = kernel._sink_dp(X, C, R, n_vars, 1)
    want_sinks, want_total = reference_search(X, C, R, n_vars)
    assert sinks.tolist() == want_sinks
    assert f64_bits(total) == f64_bits(want_total)


# Rows (1, 2), (-1, 0), (2, 3), (-2, -5); R = (-1.5, -0.5, 0.5, 1.5).
WORKED_X = np.array([[1.0, 2.0], [-1.0, 0.0], [2.0, 3.0], [-2.0, -5.0]])
WORKED_R = np.array([-1.5, -0.5, 0.5, 1.5])


@pytest.mark.parametrize(
    ("target", "mask", "expected"), [(1, 0b01, 0.05259894), (0, 0b00, 0.03640564)]
)
def test_worked_example(target, mask, expected):
    C = WORKED_X.T @ WORKED_X
    got = testing.score(WORKED_X, C, WORKED_R, 2, target, mask)
    assert got == pytest.approx(expected, abs=5e-9)
    flat = [float(v) for v in WORKED_X.ravel()]
    want = reference.score(flat, C.ravel().tolist(), WORKED_R.tolist(), 4, 2, target, mask, GROUP)
    assert f64_bits(got) == f64_bits(want)


def test_score_ignores_upper_triangle_and_high_mask_bits():
    X, C, R = make_problem(4, 20, seed=7)
    base = testing.score(X, C, R, 4, 1, 0b1001)
    scrambled = C.copy()
    scrambled[0, 3] = 1e300  # above the diagonal between two parents: never read
    assert f64_bits(testing.score(X, scrambled, R, 4, 1, 0b1001)) == f64_bits(base)
    assert f64_bits(testing.score(X, C, R, 4, 1, 0b1001 | 1 << 7)) == f64_bits(base)


@pytest.mark.parametrize(
    ("mutate", "why"),
    [
        (lambda C: C.__setitem__((0, 0), 0.0), "zero pivot"),
        (lambda C: C.__setitem__((0, 0), -1.0), "negative pivot"),
        (lambda C: C.__setitem__((3, 3), np.nan), "NaN in the target's diagonal"),
    ],
)
def test_score_breakdown_is_nan(mutate, why):
    X, C, R = make_problem(4, 20, seed=8)
    mutate(C)
    assert math.isnan(testing.score(X, C, R, 4, 3, 0b0011)), why


def test_score_duplicate_parent_columns_follow_reference():
    X, _, R = make_problem(3, 30, seed=9)
    X[:, 1] = X[:, 0]
    C = X.T @ X
    got = testing.score(X, C, R, 3, 2, 0b011)
    want = reference.score(X.ravel().tolist(), C.ravel().tolist(), R.tolist(), 30, 3, 2, 3, GROUP)
    assert f64_bits(got) == f64_bits(want) or (math.isnan(got) and math.isnan(want))


def test_no_variables():
    sinks, total = kernel._sink_dp(np.zeros((5, 0)), np.zeros(0), np.zeros(5), 0, 1)
    assert sinks.tolist() == [-1]
    assert total == 0.0 and math.copysign(1, total) == 1


@pytest.mark.parametrize("diagonal", [0.0, -2.0, np.nan])
def test_one_variable_without_score(diagonal):
    X = np.ones((3, 1))
    sinks, total = kernel._sink_dp(X, np.array([diagonal]), np.zeros(3), 1, 1)
    assert sinks.tolist() == [-1, -1]
    assert total == -math.inf


def test_one_variable_total_is_float32_score():
    X, C, R = make_problem(1, 10, seed=3)
    sinks, total = kernel._sink_dp(X, C, R, 1, 1)
    assert sinks.tolist() == [-1, 0]
    assert total == float(np.float32(testing.score(X, C, R, 1, 0, 0)))


def test_zero_rows_gives_no_ordering():
    sinks, total = kernel._sink_dp(np.zeros((0, 3)), np.eye(3), np.zeros(0), 3, 1)
    assert sinks.tolist() == [-1] * 8
    assert total == -math.inf


def test_tie_goes_to_lower_index():
    # Column 1 is column 0 with adjacent pairs swapped, so both columns have
    # the same sorted values and the two orderings score exactly the same.
    a = np.random.default_rng(4).standard_normal(16)
    X = np.column_stack([a, a.reshape(-1, 2)[:, ::-1].ravel()])
    C = X.T @ X
    R = np.sort(np.random.default_rng(5).standard_normal(16))
    s0 = testing.score(X, C, R, 2, 0, 0b10)
    s1 = testing.score(X, C, R, 2, 1, 0b01)
    assert f64_bits(s0) == f64_bits(s1)
    sinks, _ = kernel._sink_dp(X, C, R, 2, 1)
    assert sinks[3] == 0
    assert sinks[1] == 0 and sinks[2] == 1


def test_result_is_well_formed():
    X, C, R = make_problem(4, 12, seed=1)
    result = kernel._sink_dp(X, C, R, 4, 1)
    assert type(result) is tuple and len(result) == 2
    sinks, total = result
    assert type(sinks) is np.ndarray and sinks.dtype == np.int32 and sinks.shape == (16,)
    assert sinks.flags.c_contiguous and sinks.flags.owndata and sinks.flags.writeable
    assert type(total) is float and float(np.float32(total)) == total
    assert sinks[0] == -1
    # Every sink is a member of its subset.
    for mask, sink in enumerate(sinks[1:], start=1):
        assert mask >> int(sink) & 1
