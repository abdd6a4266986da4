"""ExhaustiveLiNGAM: the estimator, with scikit-learn's conventions."""

from __future__ import annotations

import dataclasses
import hashlib
import os
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel._blocks.run import fit_planned
from varkel._bootstrap import (
    BootstrapResult,
    bootstrap_probabilities,
    check_random_state,
    check_result_memory,
    resample_rows,
    resampling_seed,
    run_resamples,
)
from varkel._data import as_data, check_same_columns, default_names
from varkel._diagnostics import Diagnostic, diagnose, residuals_of
from varkel._effects import check_effect_indices, no_path_warning, total_effect, total_effects
from varkel._errors import InputError
from varkel._graph import plot_graph, to_dot
from varkel._independence import IndependenceCheck, check_independence, independence_p_values
from varkel._margins import check_margins_option
from varkel._mpi import agree_if
from varkel._options import check_count, check_flag, check_threads, workers
from varkel._params import EstimatorParams
from varkel._prior import forbidden_edges
from varkel._pruning import prune_adjacency
from varkel._search import (
    PreparedSearch,
    ProgressCallback,
    prepare_search,
    prepare_values,
    run_search,
)


class ResampleFit:
    """Fits one bootstrap resample, by index: its search, pruned graph and
    total effects, or the reason it cannot be searched. Picklable, so that
    worker processes can run it."""

    def __init__(self, prepared: PreparedSearch, seed: np.random.SeedSequence,
                 forbidden: np.ndarray | None) -> None:
        self.prepared, self.seed, self.forbidden = prepared, seed, forbidden

    def __call__(self, index: int) -> tuple[list[int], np.ndarray, np.ndarray] | str:
        prepared = self.prepared
        values = prepared.data.values[resample_rows(self.seed, index,
                                                    prepared.data.values.shape[0])]
        try:
            searched = prepare_values(values, prepared.data.names, scale=True)
            order = run_search(dataclasses.replace(prepared, searched=searched),
                               threads=1).order
        except InputError as error:
            return str(error)
        adjacency = prune_adjacency(values, order, self.forbidden)
        return order, adjacency, total_effects(values, adjacency, order)


def quiet_residual_p_values(values: np.ndarray, adjacency: np.ndarray
                            ) -> tuple[np.ndarray, bool]:
    """The residuals' pairwise independence p-values, and whether computing
    them warned (too few rows: the p-values are then NaN)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = independence_p_values(residuals_of(values, adjacency))
    return p, bool(caught)


def residual_independence(values: np.ndarray, adjacency: np.ndarray,
                          names: list[str]) -> IndependenceCheck:
    """The independence check of a fitted graph's residuals, silent on
    too few rows (the check then says it did not test)."""
    return check_independence(quiet_residual_p_values(values, adjacency)[0], names)


def data_digest(values: np.ndarray) -> bytes:
    """A fingerprint of a table's shape and bits, to recognise the fitted data."""
    digest = hashlib.blake2b(repr(values.shape).encode(), digest_size=16)
    digest.update(np.ascontiguousarray(values, dtype=np.float64).data)
    return digest.digest()


class ExhaustiveLiNGAM(EstimatorParams):
    """The best causal order of linear non-Gaussian data by exhaustive search,
    and the causal graph it implies.

    ``fit(X)`` finds the order that maximises the summed non-Gaussianity
    score over all n! orders (dynamic programming over the 2^n subsets,
    n <= 30), then regresses each variable on the ones before it and prunes
    the coefficients with an adaptive lasso whose penalty is chosen by BIC.

    Parameters
    ----------
    prior_knowledge : (n, n) array or None
        DirectLiNGAM's format. ``pk[i, j] = 1``: x_j is an ancestor of x_i
        (x_j comes before x_i). ``pk[i, j] = 0``: x_j is not an ancestor of
        x_i (x_i comes before x_j, unless ``pk[j, i]`` is also 0; and the
        graph has no edge x_j -> x_i). -1: unknown. The diagonal is ignored.
        The search finds the best order among those satisfying every
        constraint, exactly; contradictory constraints raise InputError
        naming the cycle.
    threads : int
        0 (default) uses every processor this thread may run on; larger
        counts are capped at that number. Results never depend on it.
    random_state : int, numpy Generator or None
        Seeds the resampling of :meth:`bootstrap`; with the same value,
        bootstrap gives the same results whatever the number of threads.
    margins : None, True or False
        Whether fit computes order margins and the runner-up order (about one
        more search's work, and n * 2^(n-1) stored scores). None (default):
        when they fit in memory and n <= 24, and the search is not split over
        MPI. True: always, refusing with MemoryError when they cannot fit.
        False: never. Searched in blocks, they are each block's (n being the
        block's size), and None when a block was window-searched: a window
        search does not visit the orders a margin compares with.
    tiers : list of lists of columns, or None
        Column indices or DataFrame names, earlier tiers first, every
        variable in exactly one tier. A tier is "not an ancestor of any
        earlier tier": it orders the variables and forbids edges from a
        later tier to an earlier one; within a tier nothing is assumed. The
        order is searched tier by tier, each tier exactly (at most 30
        variables each) on the data with the earlier tiers regressed out,
        which costs the sum of ``|T| 2^(|T|-1)`` scores instead of
        ``n 2^(n-1)``. Above 30 variables, prior_knowledge that splits the
        order into blocks is searched the same way.
    search : "auto", "exact", "window" or "large"
        How to search a block of more than 30 variables (more than 30
        variables without tiers are one such block). "large" (what "auto",
        the default, picks unless only ``window`` is given): each variable
        is scored on the variables before it that are among its candidate
        parents (those whose partial correlation with it, given all the
        others, exceeds 0.1 in size, or 70/m above m = 700 samples, with
        ``t > 1.5``), not on all of them; the search starts from
        DirectLiNGAM's pairwise rule and moves single variables anywhere,
        reorders windows exactly, and restarts from its best order shaken,
        until nothing raises the total. "window": windows of ``window``
        consecutive positions searched exactly on the whole prefix, from a
        greedy order, until no window improves the total. "exact": such
        blocks are refused. Up to 30 variables the search is always exact.
    window : None or int from 2 to 25
        The window search's width (given alone, it selects that search), or
        the width of the large search's windows (default 12).
    beam : None or int of at least 1
        The large search starts from a beam over the subset lattice keeping
        this many sets of variables a level (with a beam as wide as every
        level, that is the exact search) in place of the pairwise rule.

    Attributes
    ----------
    causal_order_ : list of int
        The order, causes first.
    adjacency_matrix_ : (n, n) array
        ``B[i, j] != 0`` means x_j -> x_i with that weight, in the data's
        units; unselected entries are exactly 0.
    total_score_ : float
        The best order's total score (searched in blocks: the blocks'
        totals summed; a large-searched block's on its candidate-parent
        score).
    search_ : str
        "exact" when every block was searched exactly, "window w=W" when a
        block was window-searched, and the large search's settings, as in
        "large (pairwise start, windows w=12, restarts until 20 fail,
        candidate parents ``|partial r| > 0.1``)", when it searched one.
    blocks_ : list of lists of int
        The blocks searched one after another, as column indices; one block
        of every variable without tiers.
    order_margins_ : (n, n) array or None
        Entry [i, j] is the best order's total less the best total of the
        orders that put x_j before x_i, both summed in double precision: 0
        where the best order has x_j before x_i, above 0 otherwise (the
        price of reversing the pair), inf where the prior knowledge rules
        such orders out. None without margins.
    runner_up_order_ : list of int or None
        The best order other than ``causal_order_``.
    runner_up_total_ : float or None
        Its total, summed in double. The search itself sums in single
        precision, and its sums decide which order is best: where the two
        totals are equal in single precision the orders are tied, and the
        runner-up's double total may lie a rounding step above
        ``total_score_``. The command line then says "tied".
    independence_ : IndependenceCheck
        The residuals of the fitted graph tested pairwise for independence
        (HSIC): ``pairs_tested``, ``dependent`` (below 0.001 /
        pairs_tested), ``smallest_p`` and ``worst_pair``. ``str()`` gives
        the command line's "residuals: ..." line.
    n_features_in_ : int
        The number of columns fitted.
    feature_names_in_ : array of str
        The DataFrame's column names (only when fitted on a DataFrame).
    """

    def __init__(self, *, prior_knowledge: npt.ArrayLike | None = None, threads: int = 0,
                 random_state: int | np.random.Generator | None = None,
                 margins: bool | None = None, tiers: Any = None,
                 search: str = "auto", window: int | None = None,
                 beam: int | None = None) -> None:
        self.prior_knowledge = prior_knowledge
        self.threads = threads
        self.random_state = random_state
        self.margins = margins
        self.tiers = tiers
        self.search = search
        self.window = window
        self.beam = beam

    def fit(self, X: npt.ArrayLike, y: object = None, *,
            progress: ProgressCallback | None = None,
            checkpoint: str | os.PathLike[str] | None = None,
            mpi: bool = False) -> ExhaustiveLiNGAM:
        """Finds the causal order and the graph of X.

        With margins the search runs on the scores the margins store (the same
        order and total, bit for bit); with a checkpoint or MPI it runs first,
        and progress then reports a second pass for the margins.

        Parameters
        ----------
        X : array-like or DataFrame, shape (n_samples, n_features)
            The data, one column per variable.
        y : ignored
        progress : callable or None
            Called as ``progress(done, total)`` while the search runs, on the
            calling thread; see :func:`varkel.causal_order`.
        checkpoint : path or None
            A directory to write each finished level of the search to, and to
            resume from; see :func:`varkel.causal_order`.
        mpi : bool
            Split the search over the ranks of an MPI job; see
            :func:`varkel.causal_order`.

        Returns
        -------
        ExhaustiveLiNGAM
            self, fitted.
        """
        threads = check_threads(self.threads)
        use_mpi = check_flag(mpi, "mpi")
        check_random_state(self.random_state)
        margins_option = check_margins_option(self.margins)
        prepared = agree_if(use_mpi, lambda: self._prepared(X))
        fitted = fit_planned(prepared.searched, prepared.reference_vector, prepared.plan,
                             margins=margins_option, threads=threads, progress=progress,
                             checkpoint=checkpoint, mpi=use_mpi)
        self.causal_order_ = fitted.order
        self.total_score_ = fitted.total
        self.adjacency_matrix_ = prune_adjacency(prepared.data.values, fitted.order,
                                                 forbidden_edges(prepared.prior_knowledge))
        self.order_margins_: np.ndarray | None = fitted.margins
        self.runner_up_order_: list[int] | None = fitted.runner_up_order
        self.runner_up_total_: float | None = fitted.runner_up_total
        self.search_ = fitted.search
        self.blocks_ = fitted.blocks
        # The p-values are kept with the data's fingerprint: diagnostics and
        # the report of the same data then need not test the pairs again.
        p_values, warned = quiet_residual_p_values(prepared.data.values, self.adjacency_matrix_)
        self.independence_ = check_independence(p_values, prepared.data.names)
        self._fitted_p_values = None if warned else (data_digest(prepared.data.values), p_values)
        self.n_features_in_ = prepared.data.values.shape[1]
        if prepared.data.from_frame:
            self.feature_names_in_ = np.array(prepared.data.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def bootstrap(self, X: npt.ArrayLike, n_sampling: int, *,
                  progress: ProgressCallback | None = None) -> BootstrapResult:
        """Fits the estimator to resamples of the rows of X, several at once.

        The rows are drawn with replacement, seeded by ``random_state``. Does not
        change the fitted attributes. A resample that cannot be searched (a
        column constant in it, say) is skipped and listed in the result's
        ``skipped_resamples_``; when more than half are, InputError names the
        first one's reason.

        Parameters
        ----------
        X : array-like or DataFrame, shape (n_samples, n_features)
        n_sampling : int
            The number of resamples, at least 1.
        progress : callable or None
            Called as ``progress(resamples done, n_sampling)`` on this thread.

        Returns
        -------
        BootstrapResult
        """
        count = check_count(n_sampling, "n_sampling")
        if count == 0:
            raise InputError("n_sampling must be at least 1")
        threads = check_threads(self.threads)
        prepared = self._prepared(X)
        n_samples, n_vars = prepared.data.values.shape
        # Per resample: its graph and its total effects (n x n each), its order.
        check_result_memory(count, 2 * n_vars * n_vars + n_vars, f"{n_vars} variables")
        seed = resampling_seed(self.random_state)
        fit_resample = ResampleFit(prepared, seed, forbidden_edges(prepared.prior_knowledge))

        # One search per worker: resamples are independent, so they use
        # every core even when each search is small.
        kept, results, skipped = run_resamples(fit_resample, count, workers(threads), progress)
        orders, matrices, effects = stack_results(results, ((n_vars,), (n_vars, n_vars),
                                                            (n_vars, n_vars)))
        orders = orders.astype(np.intp)
        return BootstrapResult(adjacency_matrices_=matrices, causal_orders_=orders,
                               feature_names_=list(prepared.data.names),
                               skipped_resamples_=skipped, total_effects_=effects,
                               resampling=(seed, n_samples, np.array(kept, dtype=np.intp)))

    def estimate_total_effect(self, X: npt.ArrayLike, from_index: int, to_index: int) -> float:
        """The total effect of x_from on x_to.

        The coefficient of x_from when x_to is regressed on x_from and x_from's
        parents in the fitted graph. When x_to comes before x_from in the order,
        the model has no path from one to the other: 0.0, with a warning that
        says so.

        Parameters
        ----------
        X : array-like or DataFrame
            Data with the fitted columns (same names, same order).
        from_index, to_index : int
            Column indices.

        Returns
        -------
        float
        """
        self._check_fitted()
        values = self._fitted_values(X)
        source, target = check_effect_indices(from_index, to_index, self.n_features_in_)
        order = self.causal_order_
        if order.index(target) < order.index(source):
            no_path_warning(self.feature_names(), source, target)
            return 0.0
        return total_effect(values, self.adjacency_matrix_, source, target)

    def get_error_independence_p_values(self, X: npt.ArrayLike) -> np.ndarray:
        """The p-values of the pairwise independence of the fitted graph's residuals.

        HSIC with the gamma approximation, on 1000 rows evenly spaced through X
        when it has more. Small values suggest a hidden common cause of the pair.

        Parameters
        ----------
        X : array-like or DataFrame
            Data with the fitted columns.

        Returns
        -------
        (n, n) array
            ``P[i, j]``: the p-value for the residuals of x_i and x_j; 1 on the
            diagonal.
        """
        self._check_fitted()
        values = self._fitted_values(X)
        kept = self._kept_p_values(values)
        if kept is not None:
            return kept.copy()
        return independence_p_values(residuals_of(values, self.adjacency_matrix_))

    def diagnostics(self, X: npt.ArrayLike) -> list[Diagnostic]:
        """Where the fitted answer should not be trusted.

        One :class:`Diagnostic` record per kind that applies (dependent residuals,
        discrete data, few samples, near-Gaussian residuals, heavy tails), warnings
        before cautions. ``str()`` of a record is its one-line message. The
        thresholds, and how often each kind fires on data that meet the model and
        on data that break it, are in the documentation's "How far to trust the
        answer".

        Parameters
        ----------
        X : array-like or DataFrame
            Data with the fitted columns.

        Returns
        -------
        list of Diagnostic
            Empty when none applies.
        """
        self._check_fitted()
        values = self._fitted_values(X)
        return diagnose(values, self.adjacency_matrix_, self.causal_order_,
                        self.feature_names(), self._kept_p_values(values))

    def _kept_p_values(self, values: np.ndarray) -> np.ndarray | None:
        """The fit's residual p-values when `values` is the fitted data."""
        kept: tuple[bytes, np.ndarray] | None = getattr(self, "_fitted_p_values", None)
        if kept is not None and kept[0] == data_digest(values):
            return kept[1]
        return None

    def _prepared(self, X: npt.ArrayLike) -> PreparedSearch:
        return prepare_search(X, prior_knowledge=self.prior_knowledge, tiers=self.tiers,
                              window=self.window, search=self.search, beam=self.beam)

    def _fitted_values(self, X: npt.ArrayLike) -> np.ndarray:
        data = as_data(X)
        if data.values.shape[1] != self.n_features_in_:
            raise InputError(f"X has {data.values.shape[1]} columns; the model was fitted on "
                             f"{self.n_features_in_}")
        check_same_columns(data, self._fitted_names())
        return data.values

    def _fitted_names(self) -> list[str] | None:
        """The DataFrame's column names the model was fitted on, or None."""
        names = getattr(self, "feature_names_in_", None)
        return None if names is None else [str(name) for name in names]

    def feature_names(self) -> list[str]:
        """The variables' names: the DataFrame's, else x0, x1, ...

        Returns
        -------
        list of str
        """
        self._check_fitted()
        if hasattr(self, "feature_names_in_"):
            return [str(name) for name in self.feature_names_in_]
        return default_names(self.n_features_in_)

    def to_dot(self, bootstrap: BootstrapResult | None = None, *, margins: bool = True) -> str:
        """The fitted graph as Graphviz DOT text.

        Parameters
        ----------
        bootstrap : BootstrapResult or None
            Adds each edge's bootstrap probability (p=) to its label.
        margins : bool
            Adds each edge's order margin (m=) when fit computed them.

        Returns
        -------
        str
            Edges labelled with their weights.
        """
        self._check_fitted()
        probabilities = None if bootstrap is None else bootstrap_probabilities(
            bootstrap, self.feature_names(), self.adjacency_matrix_.shape)
        return to_dot(self.adjacency_matrix_, self.feature_names(), probabilities,
                      margins=self._margins_if(margins))

    def plot(self, ax: Any = None, bootstrap: BootstrapResult | None = None, *,
             margins: bool = True) -> Any:
        """Draws the fitted graph with matplotlib.

        Colour gives an edge's sign, width its weight, and shade its order margin
        (when fit computed them and ``margins`` is True) or else its bootstrap
        probability; a legend says so.

        Parameters
        ----------
        ax : matplotlib Axes or None
            Where to draw; a new figure (not registered with pyplot) when None.
        bootstrap : BootstrapResult or None
            Labels edges with their bootstrap probabilities.
        margins : bool
            Shades and labels edges with their order margins.

        Returns
        -------
        matplotlib Axes
            Save the picture with ``ax.figure.savefig(path)``.
        """
        self._check_fitted()
        probabilities = None if bootstrap is None else bootstrap_probabilities(
            bootstrap, self.feature_names(), self.adjacency_matrix_.shape)
        return plot_graph(self.adjacency_matrix_, self.feature_names(), self.causal_order_,
                          probabilities=probabilities, margins=self._margins_if(margins),
                          ax=ax)

    def report(self, X: npt.ArrayLike, path: str | os.PathLike[str],
               bootstrap: BootstrapResult | None = None, *,
               sources: list[str] | None = None, command: str | None = None) -> None:
        """Writes a one-file HTML report of the fit.

        The report holds the data and its checks, the order and its margins, the
        graph and a sortable table of its edges, the bootstrap (when given), how
        to reproduce the run and a methods paragraph. It needs no network and no
        other file. Needs matplotlib.

        Parameters
        ----------
        X : array-like or DataFrame
            The data the model was fitted on.
        path : path
            The HTML file to write.
        bootstrap : BootstrapResult or None
            A bootstrap of the same data, for its section.
        sources : list of str or None
            The file X was read from, named and hashed in the report.
        command : str or None
            The command line that ran, shown instead of the parameters.
        """
        from varkel._report import single_report, write_html  # noqa: PLC0415

        self._check_fitted()
        write_html(path, single_report(self, X, bootstrap, sources=sources, command=command))

    def _bootstrap_probabilities(self, bootstrap: BootstrapResult) -> np.ndarray:
        return bootstrap_probabilities(bootstrap, self.feature_names(),
                                       self.adjacency_matrix_.shape)

    def _margins_if(self, wanted: bool) -> np.ndarray | None:
        return getattr(self, "order_margins_", None) if wanted else None

    def _check_fitted(self) -> None:
        if not hasattr(self, "adjacency_matrix_"):
            raise InputError("this ExhaustiveLiNGAM is not fitted yet; call fit(X) first")


def stack_results(results: list[tuple[Any, ...]], shapes: tuple[tuple[int, ...], ...]
                  ) -> list[np.ndarray]:
    """The resamples' results, field by field, as arrays (empty ones of the
    right shape when none was kept)."""
    return [np.array([r[f] for r in results]).reshape(len(results), *shape)
            for f, shape in enumerate(shapes)]

