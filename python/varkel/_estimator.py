"""ExhaustiveLiNGAM: the estimator, with scikit-learn's conventions."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from varkel import _engine
from varkel._bootstrap import BootstrapResult, resample_rows, resampling_seed
from varkel._data import default_names
from varkel._errors import InputError
from varkel._graph import plot_graph, to_dot
from varkel._mpi import agree_if
from varkel._options import check_count, check_flag, check_threads
from varkel._prior import forbidden_edges
from varkel._pruning import prune_adjacency
from varkel._search import (
    PreparedSearch,
    ProgressCallback,
    prepare_search,
    prepare_values,
    run_search,
)


class ExhaustiveLiNGAM:
    """The best causal order of linear non-Gaussian data by exhaustive search,
    and the causal graph it implies.

    fit(X) finds the order that maximises the summed non-Gaussianity score
    over all n! orders (dynamic programming over the 2^n subsets, n <= 30),
    then regresses each variable on the ones before it and prunes the
    coefficients with an adaptive lasso whose penalty is chosen by BIC.

    Parameters
    ----------
    prior_knowledge : (n, n) array or None
        DirectLiNGAM's format. pk[i, j] = 1: x_j is an ancestor of x_i (x_j
        comes before x_i). pk[i, j] = 0: x_j is not an ancestor of x_i (x_i
        comes before x_j, unless pk[j, i] is also 0; and the graph has no edge
        x_j -> x_i). -1: unknown. The diagonal is ignored. The search finds
        the best order among those satisfying every constraint, exactly;
        contradictory constraints raise InputError naming the cycle.
    threads : int
        0 (default) uses every processor this thread may run on; larger
        counts are capped at that number. Results never depend on it.
    random_state : int, numpy Generator or None
        Seeds the resampling of bootstrap(); with the same value, bootstrap
        gives the same results whatever the number of threads.

    Attributes (after fit)
    ----------------------
    causal_order_ : list[int], causes first.
    adjacency_matrix_ : (n, n) array; B[i, j] != 0 means x_j -> x_i with
        that weight, in the data's units; unselected entries are exactly 0.
    total_score_ : the best order's total score.
    n_features_in_ : int; feature_names_in_ : the DataFrame's column names
        (only when fitted on a DataFrame).
    """

    def __init__(self, *, prior_knowledge: npt.ArrayLike | None = None, threads: int = 0,
                 random_state: int | np.random.Generator | None = None) -> None:
        self.prior_knowledge = prior_knowledge
        self.threads = threads
        self.random_state = random_state

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's parameters (scikit-learn's estimator protocol)."""
        return {"prior_knowledge": self.prior_knowledge, "threads": self.threads,
                "random_state": self.random_state}

    def set_params(self, **params: Any) -> ExhaustiveLiNGAM:
        """Sets constructor parameters by name; returns self."""
        for name, value in params.items():
            if name not in self.get_params():
                raise InputError(f"ExhaustiveLiNGAM has no parameter {name!r}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        changed = [f"{name}={value!r}" for name, value in self.get_params().items()
                   if value is not _DEFAULTS[name]]
        return f"ExhaustiveLiNGAM({', '.join(changed)})"

    def fit(self, X: npt.ArrayLike, y: object = None, *,
            progress: ProgressCallback | None = None,
            checkpoint: str | os.PathLike[str] | None = None,
            mpi: bool = False) -> ExhaustiveLiNGAM:
        """Finds the causal order and the graph of X (samples x variables, an
        array or a DataFrame). Returns self. y is ignored. progress,
        checkpoint and mpi are as in varkel.causal_order."""
        threads = check_threads(self.threads)
        use_mpi = check_flag(mpi, "mpi")
        prepared = agree_if(use_mpi, lambda: prepare_search(
            X, prior_knowledge=self.prior_knowledge))
        result = run_search(prepared, threads=threads, progress=progress, checkpoint=checkpoint,
                            mpi=use_mpi)
        self.causal_order_ = result.order
        self.total_score_ = result.total
        self.adjacency_matrix_ = prune_adjacency(prepared.data.values, result.order,
                                                 _forbidden(prepared))
        self.n_features_in_ = prepared.data.values.shape[1]
        if prepared.data.from_frame:
            self.feature_names_in_ = np.array(prepared.data.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def bootstrap(self, X: npt.ArrayLike, n_sampling: int, *,
                  progress: ProgressCallback | None = None) -> BootstrapResult:
        """Fits the estimator to n_sampling resamples of the rows of X (drawn
        with replacement, seeded by random_state) on several threads at once.
        Does not change the fitted attributes. progress, if given, is called
        as progress(resamples done, n_sampling) on this thread.

        A resample that cannot be searched (a column constant in it, say) is
        skipped and listed in the result's skipped_resamples_; when more than
        half are, InputError names the first one's reason."""
        count = check_count(n_sampling, "n_sampling")
        if count == 0:
            raise InputError("n_sampling must be at least 1")
        threads = check_threads(self.threads)
        prepared = prepare_search(X, prior_knowledge=self.prior_knowledge)
        n_samples, n_vars = prepared.data.values.shape
        _check_result_memory(count, n_vars)
        seed = resampling_seed(self.random_state)
        forbidden = _forbidden(prepared)

        def fit_resample(index: int) -> tuple[list[int], np.ndarray] | str:
            values = prepared.data.values[resample_rows(seed, index, n_samples)]
            try:
                searched = prepare_values(values, prepared.data.names, scale=True)
                resample = PreparedSearch(prepared.data, searched, prepared.reference,
                                          prepared.reference_vector, prepared.successors,
                                          prepared.prior_knowledge)
                order = run_search(resample, threads=1).order
            except InputError as error:
                return str(error)
            return order, prune_adjacency(values, order, forbidden)

        # One search per thread: resamples are independent, and the
        # interpreter has no global lock, so they use every core even when
        # each search is small.
        orders = np.empty((count, n_vars), dtype=np.intp)
        matrices = np.empty((count, n_vars, n_vars))
        failures: dict[int, str] = {}
        for done, (index, outcome) in enumerate(
                _map_bounded(fit_resample, count, _workers(threads)), start=1):
            if isinstance(outcome, str):
                failures[index] = outcome
            else:
                orders[index], matrices[index] = outcome
            if progress is not None:
                progress(done, count)
        if 2 * len(failures) > count:
            first = min(failures)
            raise InputError(f"{len(failures)} of {count} bootstrap resamples could not be "
                             f"searched; resample {first}: {failures[first]}")
        if failures:
            kept = np.array([i for i in range(count) if i not in failures], dtype=np.intp)
            matrices, orders = matrices[kept], orders[kept]
        return BootstrapResult(adjacency_matrices_=matrices, causal_orders_=orders,
                               feature_names_=list(prepared.data.names),
                               skipped_resamples_=sorted(failures))

    def feature_names(self) -> list[str]:
        """The variables' names: the DataFrame's, else x0, x1, ..."""
        self._check_fitted()
        if hasattr(self, "feature_names_in_"):
            return [str(name) for name in self.feature_names_in_]
        return default_names(self.n_features_in_)

    def to_dot(self, bootstrap: BootstrapResult | None = None) -> str:
        """The fitted graph as Graphviz DOT text, edges labelled with their
        weights (and with their probabilities from `bootstrap`)."""
        self._check_fitted()
        probabilities = None if bootstrap is None else bootstrap.get_probabilities()
        return to_dot(self.adjacency_matrix_, self.feature_names(), probabilities)

    def plot(self, ax: Any = None, bootstrap: BootstrapResult | None = None) -> Any:
        """Draws the fitted graph with matplotlib and returns the axes."""
        self._check_fitted()
        probabilities = None if bootstrap is None else bootstrap.get_probabilities()
        return plot_graph(self.adjacency_matrix_, self.feature_names(), self.causal_order_,
                          probabilities=probabilities, ax=ax)

    def _check_fitted(self) -> None:
        if not hasattr(self, "adjacency_matrix_"):
            raise InputError("this ExhaustiveLiNGAM is not fitted yet; call fit(X) first")


T = TypeVar("T")

_DEFAULTS: dict[str, Any] = {"prior_knowledge": None, "threads": 0, "random_state": None}


def _forbidden(prepared: PreparedSearch) -> np.ndarray | None:
    pk = prepared.prior_knowledge
    return None if pk is None else forbidden_edges(pk)


def _check_result_memory(count: int, n_vars: int) -> None:
    """Refuses a bootstrap whose results alone would not fit in memory."""
    needed = count * (n_vars * n_vars + n_vars) * 8
    plan = _engine.plan(0, 0)
    if needed > plan["available_bytes"]:
        raise MemoryError(f"{count:,} bootstrap resamples of {n_vars} variables need "
                          f"{needed / 2**30:.1f} GiB for their results, more than the "
                          f"{plan['available_bytes'] / 2**30:.1f} GiB left (limited by "
                          f"{plan['memory_limit']})")


def _map_bounded(work: Callable[[int], T], count: int,  # noqa: UP047 - runs on 3.11
                 workers: int) -> Iterator[tuple[int, T]]:
    """(index, work(index)) for index in range(count), in the order they
    finish, on `workers` threads, with only a few tasks queued at a time so
    that memory does not grow with count. A failure or an interrupt cancels
    what is queued."""
    with ThreadPoolExecutor(max_workers=min(count, workers)) as pool:
        pending: dict[Future[T], int] = {}
        submitted = 0
        try:
            while submitted < count or pending:
                while submitted < count and len(pending) < 2 * workers:
                    pending[pool.submit(work, submitted)] = submitted
                    submitted += 1
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in finished:
                    yield pending.pop(future), future.result()
        finally:
            for future in pending:
                future.cancel()


def _workers(threads: int) -> int:
    available = len(os.sched_getaffinity(0))
    return available if threads == 0 else min(threads, available)
