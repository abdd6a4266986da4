"""Each compiled form of the squared-difference kernel, and the two sorts."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

import _exhaustive_testing as testing
import reference
from conftest import SELECTED_TARGET, f64_bits

SUPPORTED = testing.supported_targets()
TARGETS = [
    pytest.param(
        name, marks=pytest.mark.skipif(not SUPPORTED & bit, reason=f"{name} not supported here")
    )
    for name, bit in reference.TARGET_BITS.items()
]


def test_exactly_eight_targets_are_compiled():
    assert testing.compiled_targets() == sum(reference.TARGET_BITS.values()) == 0x5BD0


def kernel(name, a, b):
    return testing.kernel_for_target(reference.TARGET_BITS[name], a, b)


def assert_same_bits(got, want):
    assert f64_bits(got) == f64_bits(want) or (math.isnan(got) and math.isnan(want)), (got, want)


@pytest.mark.parametrize("name", TARGETS)
def test_kernel_matches_its_groups_arithmetic(name):
    group = reference.GROUP_OF_TARGET[name]
    rng = np.random.default_rng(reference.TARGET_BITS[name])
    for n in range(41):
        # Mixed magnitudes make the summation order visible in the last bits.
        a = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
        b = rng.standard_normal(n)
        got = kernel(name, a, b)
        assert_same_bits(got, reference.sum_squared_differences(a.tolist(), b.tolist(), group))


@pytest.mark.parametrize("name", TARGETS)
@pytest.mark.parametrize(
    ("values", "expected"),
    [
        ([1.0, np.nan, 3.0], "nan"),
        ([np.inf, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0], "inf"),
        ([-np.inf, 0.0, 1e-310], "inf"),
        ([np.inf, -np.inf], "inf"),
        ([1e200, 1e200, 1.0], "inf"),
    ],
)
def test_kernel_special_values(name, values, expected):
    a = np.array(values, dtype=float)
    got = kernel(name, a, np.zeros_like(a))
    assert math.isnan(got) if expected == "nan" else got == math.inf


def test_groups_differ_where_the_order_matters():
    # The three groups are not the same arithmetic: some input separates them.
    rng = np.random.default_rng(0)
    seen = set()
    for _ in range(200):
        a = (rng.standard_normal(9) * 10.0 ** rng.integers(-8, 8, 9)).tolist()
        b = [0.0] * 9
        seen.add(tuple(reference.sum_squared_differences(a, b, g)
                       for g in (reference.SSE, reference.AVX2, reference.AVX3)))
    assert any(len(set(r)) == 3 for r in seen)


def test_dispatch_runs_the_selected_target():
    rng = np.random.default_rng(2)
    for n in (3, 7, 8, 9, 17, 100):
        a, b = rng.standard_normal(n) * 1e3, rng.standard_normal(n)
        assert_same_bits(testing.kernel_dispatched(a, b), kernel(SELECTED_TARGET, a, b))


@pytest.mark.parametrize("name", TARGETS)
def test_kernel_with_no_elements_reads_nothing(name):
    assert f64_bits(kernel(name, np.empty(0), np.empty(0))) == f64_bits(0.0)


# -- sorts -------------------------------------------------------------------

def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


SPECIAL = [
    from_bits(0x7FF8000000000001), from_bits(0x7FF0000000000123),  # +NaN payloads
    from_bits(0xFFF8000000000002), from_bits(0xFFF4000000000000),  # -NaN payloads
    0.0, -0.0, 5e-324, -5e-324, 2.2e-308, -1e-310,                 # zeros, subnormals
    math.inf, -math.inf, 1.0, -1.0, 1e308, -1e308,
]

SORTS = ["sort_portable", "sort_selected", "sort_values",
         pytest.param("sort_avx2", marks=pytest.mark.skipif(
             not SUPPORTED & reference.TARGET_BITS["AVX2"], reason="no AVX2"))]


def bit_list(values) -> list[int]:
    return [f64_bits(float(v)) for v in values]


@pytest.mark.parametrize("sort", SORTS)
@pytest.mark.parametrize("case", ["special", "random-with-special", "empty", "one", "sizes"])
def test_sorts_follow_the_key_order(sort, case):
    rng = np.random.default_rng(9)
    if case == "special":
        inputs = [SPECIAL, SPECIAL[::-1]]
    elif case == "random-with-special":
        inputs = [list(rng.permutation(SPECIAL * 5 + rng.standard_normal(77).tolist()))]
    elif case == "empty":
        inputs = [[]]  # passed on as a null pointer
    elif case == "one":
        inputs = [[from_bits(0xFFF8000000000abc)], [-0.0]]
    else:
        inputs = [rng.standard_normal(n).tolist() for n in (2, 7, 8, 9, 15, 16, 17, 63, 64, 65,
                                                            1000)]
    for values in inputs:
        got = getattr(testing, sort)(np.array(values, dtype=float))
        assert bit_list(got) == bit_list(reference.sort_values(values))


def test_key_order_of_special_values():
    order = bit_list(testing.sort_selected(np.array(SPECIAL)))
    assert order[:2] == [0xFFF8000000000002, 0xFFF4000000000000]  # -NaN, larger payload first
    assert order[-2:] == [0x7FF0000000000123, 0x7FF8000000000001]  # +NaN, smaller payload first
    assert order.index(f64_bits(-0.0)) + 1 == order.index(f64_bits(0.0))
