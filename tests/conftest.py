from __future__ import annotations

import struct
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable

import numpy as np
import pytest

import reference

try:
    import _exhaustive_testing as testing
except ImportError:  # an installed wheel: the test-only module is not part of it
    testing = None

# The kernel form this processor runs, and the arithmetic of its group.
SELECTED_TARGET = None if testing is None else reference.selected_target(
    testing.supported_targets() & testing.compiled_targets()
)
GROUP = None if SELECTED_TARGET is None else reference.GROUP_OF_TARGET[SELECTED_TARGET]


def f64_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def in_columns(X):
    """X copied into the column layout the engine reads in place."""
    import varkel

    columns = varkel.column_table(*X.shape)
    columns[:] = X
    return columns


def make_problem(n_vars: int, n_samples: int, seed: int):
    """Random data, its Gram matrix and a sorted reference vector."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n_samples, n_vars))
    C = X.T @ X
    R = np.sort(rng.standard_normal(n_samples))
    return X, C, R


def reference_search(X, C, R, n_vars):
    return reference.sink_dp(
        [float(v) for v in np.ravel(X)],
        [float(v) for v in np.ravel(C)],
        [float(v) for v in np.ravel(R)],
        n_vars,
        GROUP,
    )


@pytest.fixture(scope="session")
def kernel_group():
    return GROUP


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter with warnings as errors."""
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=300,
    )


def run_in_threads(work: Callable[[int], None], count: int) -> None:
    """Runs work(0) .. work(count - 1) on as many threads at once, and
    re-raises the first failure on the calling thread."""
    errors: list[BaseException] = []

    def guarded(index: int) -> None:
        try:
            work(index)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
