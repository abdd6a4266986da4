"""Exercises the C++ modules' allocating paths in one short process, for
LeakSanitizer's check at its exit (tools/sanitize.sh).

The test suite runs with leak checking off: its interpreter ends with many
threads alive, and the leak checker's thread tracer sometimes crashes on one
of them, which fails the run without any finding. Here few threads are
alive at exit, and every path below runs twice, so that anything the modules
allocate and never free is left over.
"""

from __future__ import annotations

import tempfile
from collections.abc import Callable

import numpy as np

import _exhaustive_kernel as kernel
import varkel
from varkel import _engine as engine


def interrupt_after_first_call(done: int, total: int) -> None:
    raise KeyboardInterrupt


def expect(error: type[BaseException], call: Callable[[], object]) -> None:
    try:
        call()
    except error:
        return
    raise SystemExit(f"leak check: {error.__name__} was expected")


def exercise(X: np.ndarray, groups: list[np.ndarray], folder: str) -> None:
    n_samples, n = X.shape
    C, R = engine.gram(X), varkel.reference_vector("normal", n_samples)
    kernel._sink_dp(X, C, R, n, 2)
    for prune in (True, False):
        for threads in (1, 2):
            engine.search(X, C, R, threads=threads, prune=prune)
    search = engine.Search(X, C, R, threads=2)
    search.run()
    engine.order_margins(X, C, R, None, threads=2)
    engine.score(X, C, R, 0, 0b110)
    engine.search(list(groups), None,
                  [varkel.reference_vector("normal", len(g)) for g in groups], threads=2)
    # Ctrl-C from inside a search: its buffers go with the exception.
    expect(KeyboardInterrupt, lambda: engine.search(
        X, C, R, threads=2, progress=interrupt_after_first_call, progress_interval=0.0))
    expect(ValueError, lambda: engine.search(X[:, :2], C, R))  # raised from C++
    varkel.causal_order(X, checkpoint=folder)
    model = varkel.ExhaustiveLiNGAM(random_state=0, threads=2).fit(X)
    model.bootstrap(X, 2)
    varkel.MultiGroupExhaustiveLiNGAM(threads=2).fit(groups)


def main() -> None:
    X, _ = varkel.simulate_lingam(6, 500, seed=1)
    X = np.ascontiguousarray((X - X.mean(axis=0)) / X.std(axis=0))
    groups = [X[:300], X[300:]]
    for _ in range(2):
        with tempfile.TemporaryDirectory() as folder:
            exercise(X, groups, folder)
    print("leak check: every path ran")


if __name__ == "__main__":
    main()
