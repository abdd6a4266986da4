"""Arbitrary arguments at the boundary: a result or a documented exception,
never anything else."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _exhaustive_kernel as kernel

DOCUMENTED = (TypeError, ValueError, IndexError, MemoryError)

DTYPES = st.sampled_from(
    ["f8", "f4", ">f8", "i1", "u1", "i8", "u8", "?", "c16", "O", "U3", "S2", "M8[s]", "f2"]
)


@st.composite
def arrays(draw, shape=None):
    dtype = np.dtype(draw(DTYPES))
    shape = shape if shape is not None else draw(hnp.array_shapes(min_dims=0, max_dims=3,
                                                                 min_side=0, max_side=5))
    if dtype.kind == "O":
        elements = st.one_of(st.floats(), st.integers(-10, 10), st.none(), st.text(max_size=2))
        values = draw(st.lists(elements, min_size=math.prod(shape), max_size=math.prod(shape)))
        array = np.empty(math.prod(shape), dtype=object)
        array[:] = values
        array = array.reshape(shape)
    else:
        array = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["C", "F", "strided", "readonly"]))
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "strided" and array.ndim:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "readonly":
        array.flags.writeable = False
    return array


HUGE = np.broadcast_to(np.float64(0.0), (2**20, 2**20))  # 2^40 elements, no memory

array_likes = st.one_of(
    arrays(),
    st.lists(st.floats(), max_size=6),
    st.lists(st.lists(st.floats(allow_nan=True), max_size=3), max_size=3),  # may be ragged
    st.floats(), st.integers(), st.none(), st.text(max_size=3), st.binary(max_size=3),
    st.complex_numbers(), st.just(HUGE), st.just(np.zeros((2**31, 0))),
)

integer_likes = st.one_of(
    st.integers(-(2**70), 2**70), st.integers(-2, 40), st.booleans(), st.floats(),
    st.none(), st.text(max_size=2), st.sampled_from([np.int8(3), np.uint64(2), np.float32(2.5),
                                                     np.float64(1.0), 2 + 0j]),
)
# Valid thread counts stay small: many spinning workers on two cores are slow.
thread_likes = st.one_of(st.integers(0, 4), st.integers(-(2**70), -1),
                         st.integers(2**64, 2**70), st.floats(), st.none(), st.booleans())


@st.composite
def consistent_arguments(draw):
    """Well-sized inputs of arbitrary dtype and layout, so that calls succeed."""
    n = draw(st.integers(0, 5))
    samples = draw(st.integers(0, 12))
    X = draw(arrays(shape=(samples, n)))
    C = draw(arrays(shape=draw(st.sampled_from([(n, n), (n * n,)]))))
    R = draw(arrays(shape=(samples,)))
    return [X, C, R, n, draw(st.integers(0, 4))]


def check_call(args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # e.g. NumPy's warning when dropping imaginary parts
        try:
            result = kernel._sink_dp(*args)
        except DOCUMENTED:
            return
    assert type(result) is tuple and len(result) == 2
    sinks, total = result
    n = int(args[3])
    assert type(sinks) is np.ndarray and sinks.dtype == np.int32 and sinks.shape == (1 << n,)
    assert sinks.min() >= -1 and sinks.max() < max(n, 1)
    assert type(total) is float and not math.isnan(total)
    assert float(np.float32(total)) == total


FUZZ = settings(max_examples=300, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@FUZZ
@given(st.tuples(array_likes, array_likes, array_likes, integer_likes, thread_likes))
def test_arbitrary_arguments(args):
    check_call(list(args))


@FUZZ
@given(consistent_arguments())
def test_well_sized_arguments_of_any_dtype(args):
    check_call(args)


@FUZZ
@given(st.lists(st.one_of(array_likes, integer_likes), max_size=7))
def test_any_arity(args):
    if len(args) != 5:
        with pytest.raises(TypeError):
            kernel._sink_dp(*args)
    else:
        check_call(args)
