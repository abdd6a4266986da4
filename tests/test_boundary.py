"""The Python face of the module: conversions, refusals, messages, import."""

from __future__ import annotations

import decimal
import fractions
import gc
import sys
import sysconfig

import numpy as np
import pytest

import _exhaustive_kernel as kernel
from conftest import make_problem, run_python

ARRAY = "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"
INTEGER = "typing.SupportsInt | typing.SupportsIndex"
SIGNATURE = (
    f"(arg0: {ARRAY}, arg1: {ARRAY}, arg2: {ARRAY}, arg3: {INTEGER}, arg4: {INTEGER}) -> tuple"
)


def test_module_carries_only_sink_dp():
    public = {name for name in vars(kernel) if not name.startswith("__")}
    assert public == {"_sink_dp"}
    assert kernel.__doc__ is None
    assert kernel._sink_dp.__doc__ == "_sink_dp" + SIGNATURE + "\n"


def test_the_test_only_module_is_not_installed():
    import importlib.metadata

    installed = [str(path) for path in importlib.metadata.files("varkel") or []]
    assert any(path.startswith("_exhaustive_kernel") for path in installed)
    assert any(path.startswith("varkel/_engine") for path in installed)
    assert not any("_exhaustive_testing" in path for path in installed)


def test_reimport_gives_same_module():
    del sys.modules["_exhaustive_kernel"]
    import _exhaustive_kernel as again

    assert again is kernel


def test_import_keeps_gil_disabled():
    done = run_python("""
        import sys
        import _exhaustive_kernel
        assert not sys._is_gil_enabled()
        print("ok")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok" and done.stderr == ""


def test_numpy_is_not_imported_at_import():
    done = run_python("""
        import sys, _exhaustive_kernel
        print("numpy" in sys.modules)
    """)
    assert done.stdout.strip() == "False", done.stderr


BUILT_FOR = "{}.{}".format(*sys.version_info[:2])  # the interpreter that built the module


@pytest.mark.parametrize(
    ("fake_version", "accepted"),
    [
        (f"{BUILT_FOR}.99 (fake)", True),
        (f"{BUILT_FOR}rc1 (fake)", True),
        (f"{sys.version_info[0]}.{sys.version_info[1] + 1}.0 (fake)", False),
        (f"{BUILT_FOR}0.1 (fake)", False),
        ("2.7.18 (fake)", False),
    ],
)
def test_version_gate(fake_version, accepted):
    # Py_GetVersion hands out a static buffer; rewriting it before the import
    # makes the module see another interpreter version.
    assert sysconfig.get_config_var("py_version_short") == BUILT_FOR
    done = run_python(f"""
        import ctypes
        get_version = ctypes.pythonapi.Py_GetVersion
        get_version.restype = ctypes.c_void_p
        fake = {fake_version!r}.encode() + b"\\0"
        ctypes.memmove(get_version(), fake, len(fake))
        try:
            import _exhaustive_kernel
        except ImportError as error:
            print("refused:", error)
        else:
            print("imported")
    """)
    assert done.returncode == 0, done.stderr
    if accepted:
        assert done.stdout.strip() == "imported"
    else:
        assert done.stdout.strip() == (
            f"refused: Python version mismatch: module was compiled for Python {BUILT_FOR}, "
            f"but the interpreter version is incompatible: {fake_version}."
        )


# -- argument conversion ---------------------------------------------------

def small_problem():
    return make_problem(3, 10, seed=11)


def call(*args, **kwargs):
    return kernel._sink_dp(*args, **kwargs)


@pytest.mark.parametrize(
    "make_args",
    [
        pytest.param(lambda X, C, R: ((X, C, R, 3), {}), id="four-args"),
        pytest.param(lambda X, C, R: ((X, C, R, 3, 1, 1), {}), id="six-args"),
        pytest.param(
            lambda X, C, R: ((), dict(X=X, C=C, R=R, n_vars=3, num_threads=1)), id="keywords"
        ),
        pytest.param(lambda X, C, R: ((X, C, R, 3.0, 1), {}), id="n_vars-float"),
        pytest.param(lambda X, C, R: ((X, C, R, np.float64(3), 1), {}), id="n_vars-np-float64"),
        pytest.param(lambda X, C, R: ((X, C, R, 2**31, 1), {}), id="n_vars-2^31"),
        pytest.param(lambda X, C, R: ((X, C, R, "3", 1), {}), id="n_vars-str"),
        pytest.param(lambda X, C, R: ((X, C, R, None, 1), {}), id="n_vars-None"),
        pytest.param(lambda X, C, R: ((X, C, R, 3 + 0j, 1), {}), id="n_vars-complex"),
        pytest.param(lambda X, C, R: ((X, C, R, 3, -1), {}), id="threads-negative"),
        pytest.param(lambda X, C, R: ((X, C, R, 3, 2**64), {}), id="threads-2^64"),
        pytest.param(lambda X, C, R: ((X, C, R, 3, 1.0), {}), id="threads-float"),
        pytest.param(lambda X, C, R: ((["a", "b"], C, R, 3, 1), {}), id="X-strings"),
        pytest.param(lambda X, C, R: ((X, C, {"a": 1}, 3, 1), {}), id="R-dict"),
    ],
)
def test_refused_arguments_raise_type_error(make_args):
    args, kwargs = make_args(*small_problem())
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    message = str(info.value)
    assert message.startswith(
        "_sink_dp(): incompatible function arguments. The following argument types are "
        "supported:\n    1. " + SIGNATURE + "\n\nInvoked with: "
    )
    if kwargs:
        assert "kwargs: X=" in message


def test_type_error_lists_the_arguments():
    with pytest.raises(TypeError) as info:
        call(1, "two", None, 4)
    assert str(info.value).endswith("Invoked with: 1, 'two', None, 4")


@pytest.mark.parametrize(
    ("n_vars_arg", "n_vars"),
    [(True, 1), (np.int64(3), 3), (np.float32(3.9), 3),
     (decimal.Decimal("3.7"), 3), (fractions.Fraction(7, 2), 3)],
)
def test_integer_like_n_vars_is_converted(n_vars_arg, n_vars):
    X, C, R = make_problem(n_vars, 10, seed=12)
    got, total = call(X, C, R, n_vars_arg, 1)
    want, want_total = call(X, C, R, n_vars, 1)
    assert got.tolist() == want.tolist() and total == want_total


@pytest.mark.parametrize("threads", [0, 1, 5, 2**64 - 1, np.uint8(2), True])
def test_thread_counts_are_accepted(threads):
    X, C, R = small_problem()
    assert call(X, C, R, 3, threads)[0].shape == (8,)


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda a: a.tolist(), id="nested-list"),
        pytest.param(lambda a: a.astype(np.float32), id="float32"),
        pytest.param(np.asfortranarray, id="fortran"),
        pytest.param(lambda a: a.astype(">f8"), id="big-endian"),
        pytest.param(np.ma.masked_array, id="subclass"),
    ],
)
def test_array_likes_are_converted_without_touching_the_caller(convert):
    X, C, R = small_problem()
    X = X.astype(np.float32).astype(np.float64)  # exact in float32 too
    want = call(X, C, R, 3, 1)
    X_in = convert(X)
    before = np.array(X_in, copy=True)
    got = call(X_in, C, R, 3, 1)
    assert got[0].tolist() == want[0].tolist() and got[1] == want[1]
    assert np.array_equal(np.asarray(X_in), before)


def test_read_only_inputs_are_accepted():
    X, C, R = small_problem()
    want = call(X, C, R, 3, 1)
    for a in (X, C, R):
        a.flags.writeable = False
    got = call(X, C, R, 3, 1)
    assert got[0].tolist() == want[0].tolist() and got[1] == want[1]


@pytest.mark.parametrize("X", [3.0, None, np.float64(2)])
def test_zero_dimensional_X_is_an_index_error(X):
    with pytest.raises(IndexError, match=r"^invalid axis: 0 \(ndim = 0\)$"):
        call(X, np.eye(1), np.zeros(1), 1, 1)


@pytest.mark.parametrize(
    ("shapes", "n_vars", "message"),
    [
        (((4, 3), 9, 4), -1, "n_vars must be between 0 and 30, got -1"),
        (((4, 3), 9, 4), 31, "n_vars must be between 0 and 30, got 31"),
        (((4, 3), 9, 4), 2**31 - 1, "n_vars must be between 0 and 30, got 2147483647"),
        (((4, 2), 9, 4), 3, "X must hold n_samples * n_vars = 4 * 3 = 12 elements, got 8"),
        (((12,), 9, 12), 3, "X must hold n_samples * n_vars = 12 * 3 = 36 elements, got 12"),
        (((4, 3), 4, 4), 3, "C must hold n_vars * n_vars = 9 elements, got 4"),
        (((4, 3), 16, 4), 3, "C must hold n_vars * n_vars = 9 elements, got 16"),
        (((4, 3), 9, 3), 3, "R must hold n_samples = 4 elements, got 3"),
        (((4, 3), 9, 5), 3, "R must hold n_samples = 4 elements, got 5"),
    ],
)
def test_mis_sized_inputs_are_value_errors(shapes, n_vars, message):
    x_shape, c_size, r_size = shapes
    with pytest.raises(ValueError) as info:
        call(np.ones(x_shape), np.ones(c_size), np.ones(r_size), n_vars, 1)
    assert str(info.value) == message


def test_too_many_elements_in_X():
    # 2^31 rows of no columns: the row count no longer fits the 32-bit
    # sample count, without needing 16 GiB to show it.
    X = np.zeros((2**31, 0))
    with pytest.raises(ValueError) as info:
        call(X, np.ones(0), np.ones(1), 0, 1)
    assert str(info.value) == "X must hold fewer than 2^31 elements, got 0 in 2147483648 rows"


def test_no_reference_leaks_over_failing_and_succeeding_calls():
    X, C, R = small_problem()
    bad_n = object()

    def round_of_calls():
        for _ in range(50):
            call(X, C, R, 3, 2)
            for args in ((X, C, R, bad_n, 1), (X, C, R, 3)):
                with pytest.raises(TypeError):
                    call(*args)
            with pytest.raises(ValueError):
                call(X, C, R[:-1], 3, 1)
            with pytest.raises(IndexError):
                call(1.0, C, R, 3, 1)

    round_of_calls()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (X, C, R, bad_n)]
    round_of_calls()
    gc.collect()
    assert [sys.getrefcount(o) for o in (X, C, R, bad_n)] == counts
    sinks, _ = call(X, C, R, 3, 1)
    assert sys.getrefcount(sinks) == 2
