"""VARExhaustiveLiNGAM: causal structure of time series, within a time step
and across lags.

The model is x_t = B0 x_t + B1 x_{t-1} + ... + Bp x_{t-p} + e_t with
independent non-Gaussian e_t and an acyclic B0. Its reduced form is a
vector autoregression x_t = c + M1 x_{t-1} + ... + Mp x_{t-p} + u_t whose
residuals are u_t = (I - B0)^-1 e_t: linear non-Gaussian data with the
instantaneous order. So the estimator fits the autoregression by least
squares, searches its residuals exactly, and sets Bτ = (I - B0) Mτ; then,
as VAR-LiNGAM does, it prunes B0 and every Bτ together with the adaptive
lasso: each x_t[i] on the variables before it in the order at time t and on
every lagged variable.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel._blocks.plan import OrderPlan, plan_order
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
from varkel._data import as_data, default_names, scale_exactly, scale_exponents
from varkel._diagnostics import Diagnostic, diagnose, ordered
from varkel._errors import InputError
from varkel._estimator import residual_independence, stack_results
from varkel._graph import plot_graph, to_dot, unrolled
from varkel._mpi import agree_if
from varkel._options import check_count, check_flag, check_threads, workers
from varkel._params import EstimatorParams
from varkel._prior import forbidden_edges
from varkel._pruning import adaptive_lasso
from varkel._reference import resolve_reference
from varkel._search import ProgressCallback, prepare_values
from varkel._simulate import spectral_radius

CRITERIA = ("aic", "bic", "hqic")


@dataclass(frozen=True)
class Autoregression:
    intercept: np.ndarray     # (n,)
    coefficients: np.ndarray  # (p, n, n): M1 .. Mp
    residuals: np.ndarray     # (T - p, n)

    @property
    def lags(self) -> int:
        return int(self.coefficients.shape[0])


def lagged(X: np.ndarray, lags: int, start: int) -> tuple[np.ndarray, np.ndarray]:
    """The responses x_t for t >= start and the design [1, x_{t-1}, ...,
    x_{t-lags}] of each."""
    T = X.shape[0]
    design = [np.ones((T - start, 1))] + [X[start - tau:T - tau] for tau in range(1, lags + 1)]
    return X[start:], np.hstack(design)


def fit_autoregression(X: np.ndarray, lags: int, start: int | None = None) -> Autoregression:
    """Least squares fit of x_t on a constant and `lags` lagged values, for
    t from `start` (default: lags) on."""
    first = lags if start is None else start
    response, design = lagged(X, lags, first)
    solution, *_ = np.linalg.lstsq(design, response, rcond=None)
    n_vars = X.shape[1]
    coefficients = solution[1:].reshape(lags, n_vars, n_vars).transpose(0, 2, 1)
    return Autoregression(solution[0], np.ascontiguousarray(coefficients),
                          response - design @ solution)


def information_criterion(fit: Autoregression, criterion: str) -> float:
    """log det of the residuals' covariance plus the criterion's penalty on
    the lag coefficients."""
    count, n_vars = fit.residuals.shape
    sign, log_det = np.linalg.slogdet(fit.residuals.T @ fit.residuals / count)
    if sign <= 0:
        return math.inf
    parameters = fit.lags * n_vars * n_vars
    weight = {"aic": 2.0, "bic": math.log(count),
              "hqic": 2.0 * math.log(math.log(count))}[criterion]
    return float(log_det + weight * parameters / count)


def choose_lags(X: np.ndarray, max_lags: int, criterion: str | None) -> int:
    """max_lags without a criterion; else the number of lags from 1 to
    max_lags that minimises it, every candidate fitted on the same time
    steps (from max_lags on) so that they are comparable; the fewest wins a
    tie."""
    if criterion is None:
        return max_lags
    values = [information_criterion(fit_autoregression(X, p, start=max_lags), criterion)
              for p in range(1, max_lags + 1)]
    return int(np.argmin(values)) + 1


def prune_lagged(X: np.ndarray, order: list[int], lags: int,
                 forbidden: np.ndarray | None) -> np.ndarray:
    """(lags + 1, n, n): B0 .. Bp from the adaptive lasso of each x_t[i] on
    the variables before it in the order at time t (leaving out forbidden
    ones) and on every lagged variable. Unselected entries are exactly 0;
    weights are in the data's units (the fit runs on columns scaled by
    exact powers of two, as ExhaustiveLiNGAM's pruning does)."""
    n_vars = X.shape[1]
    T = X.shape[0]
    joined = np.hstack([X[lags - tau:T - tau] for tau in range(lags + 1)])
    exponents = scale_exponents(joined)
    scaled = scale_exactly(joined)
    B = np.zeros((lags + 1, n_vars, n_vars))
    lagged_columns = list(range(n_vars, n_vars * (lags + 1)))
    for position, target in enumerate(order):
        before = [p for p in order[:position] if forbidden is None or not forbidden[target, p]]
        predictors = before + lagged_columns
        coefficients = adaptive_lasso(scaled, predictors, target) * np.ldexp(
            1.0, exponents[target] - exponents[predictors])
        B[0, target, before] = coefficients[:len(before)]
        B[1:, target, :] = coefficients[len(before):].reshape(lags, n_vars)
    return B


def check_criterion(criterion: object) -> str | None:
    if criterion is None or criterion in CRITERIA:
        return criterion  # type: ignore[return-value]
    raise InputError(f"criterion must be one of {', '.join(map(repr, CRITERIA))} or None, got "
                     f"{criterion!r}")


def largest_root(autoregression: Autoregression) -> float:
    """The largest modulus of the autoregression's roots: the eigenvalues
    of its companion matrix [M1 ... Mp; I 0]."""
    return spectral_radius(list(autoregression.coefficients))


# Least squares pulls a unit root's estimate below 1: with a constant in the
# regression, below 1 - 14 / T in only about 5% of series of T steps (the
# Dickey-Fuller distribution's 5% point).
UNIT_ROOT_BIAS = 14.0


def non_stationary(autoregression: Autoregression, T: int, names: list[str]
                   ) -> Diagnostic | None:
    modulus = largest_root(autoregression)
    if modulus < 1.0 - UNIT_ROOT_BIAS / T:
        return None
    return Diagnostic("non-stationary", "warning", tuple(names),
                      f"the fitted autoregression has a root of modulus {modulus:.3f}, at or "
                      "near a unit root: the series looks non-stationary; difference or "
                      "detrend it")


def check_series(X: npt.ArrayLike, lags: int) -> tuple[np.ndarray, list[str], bool]:
    """The series' values, names and whether it was a DataFrame. It must be
    long enough that the pruning's regressions (the instantaneous and every
    lagged variable as predictors) leave more time steps than unknowns."""
    data = as_data(X)
    T, n_vars = data.values.shape
    needed = lags + n_vars * (lags + 1) + 2
    if needed > T:
        raise InputError(f"the series has {T} time steps; {lags} lag{'s' * (lags != 1)} of "
                         f"{n_vars} variables need at least {needed}")
    return data.values, data.names, data.from_frame


@dataclass(frozen=True)
class VARFit:
    order: list[int]
    total: float
    adjacency: np.ndarray   # (p + 1, n, n)
    autoregression: Autoregression
    search: str
    blocks: list[list[int]]


@dataclass(frozen=True)
class Knowledge:
    """What the caller knows of the instantaneous order, and how to search
    it: ExhaustiveLiNGAM's prior_knowledge, tiers, window, search and beam."""

    prior_knowledge: Any = None
    tiers: Any = None
    window: Any = None
    search: Any = "auto"
    beam: Any = None


@dataclass(frozen=True)
class PreparedVAR:
    plan: OrderPlan
    forbidden: np.ndarray | None
    autoregression: Autoregression
    searched: np.ndarray
    reference: np.ndarray


# A residual column whose spread is below this share of its series' spread
# is rounding noise: the autoregression explains the column exactly.
DETERMINISTIC_SHARE = 1e-8


def prepare_var(X: np.ndarray, max_lags: int, criterion: str | None, knowledge: Knowledge,
                names: list[str]) -> PreparedVAR:
    """Every check that can fail on this process's data: the prior, the
    autoregression and its residuals, ready to search."""
    plan = plan_order(knowledge.prior_knowledge, knowledge.tiers, knowledge.window, names,
                      knowledge.search, knowledge.beam)
    lags = choose_lags(X, max_lags, criterion)
    autoregression = fit_autoregression(X, lags)
    residuals = autoregression.residuals
    exact = np.flatnonzero(residuals.std(axis=0) <= DETERMINISTIC_SHARE * X.std(axis=0))
    if exact.size:
        raise InputError(f"column {names[exact[0]]!r} is deterministic: its past explains it "
                         "exactly (a trend or a counter?), so it has no noise to order; drop it "
                         "or difference it")
    try:
        searched = prepare_values(residuals, names, scale=True)
    except InputError as error:
        raise InputError(f"the autoregression's residuals cannot be searched: {error}") from None
    _, reference = resolve_reference("normal", residuals.shape[0])
    return PreparedVAR(plan, forbidden_edges(plan.prior_knowledge), autoregression, searched,
                       reference)


def fit_var(X: np.ndarray, max_lags: int, criterion: str | None, knowledge: Knowledge, *,
            threads: int,
            progress: ProgressCallback | None = None,
            checkpoint: str | os.PathLike[str] | None = None, mpi: bool = False,
            names: list[str] | None = None) -> VARFit:
    # Under MPI a rank whose series fails a check must not leave the others
    # waiting: the ranks agree on every check before searching.
    prepared = agree_if(mpi, lambda: prepare_var(X, max_lags, criterion, knowledge,
                                                 names or default_names(X.shape[1])))
    fitted = fit_planned(prepared.searched, prepared.reference, prepared.plan, margins=False,
                         threads=threads, progress=progress, checkpoint=checkpoint, mpi=mpi)
    lags = prepared.autoregression.lags
    return VARFit(fitted.order, fitted.total,
                  prune_lagged(X, fitted.order, lags, prepared.forbidden),
                  prepared.autoregression, fitted.search, fitted.blocks)


def simulate_from(fit: Autoregression, start: np.ndarray, innovations: np.ndarray) -> np.ndarray:
    """The series the autoregression generates from the first p rows `start`
    and the given residuals for every later time step."""
    lags = fit.lags
    series = np.empty((lags + innovations.shape[0], start.shape[1]))
    series[:lags] = start
    for t in range(lags, series.shape[0]):
        value = fit.intercept + innovations[t - lags]
        for tau in range(1, lags + 1):
            value = value + fit.coefficients[tau - 1] @ series[t - tau]
        series[t] = value
    return series


class VARResampleFit:
    """Fits one residual-bootstrap resample, by index: residuals drawn with
    replacement from its own generator drive the fitted autoregression from
    the observed first time steps, and the series is fitted again with the
    same number of lags. Picklable."""

    def __init__(self, X: np.ndarray, fit: VARFit, seed: np.random.SeedSequence,
                 knowledge: Knowledge) -> None:
        self.X, self.fit, self.seed, self.knowledge = X, fit, seed, knowledge

    def __call__(self, index: int) -> tuple[list[int], np.ndarray] | str:
        autoregression = self.fit.autoregression
        residuals = autoregression.residuals
        rows = resample_rows(self.seed, index, len(residuals))
        series = simulate_from(autoregression, self.X[:autoregression.lags], residuals[rows])
        try:
            refit = fit_var(series, autoregression.lags, None, self.knowledge, threads=1)
        except InputError as error:
            return str(error)
        return refit.order, np.hstack(list(refit.adjacency))


class VARExhaustiveLiNGAM(EstimatorParams):
    """Exact causal order of time series, and its instantaneous and lagged
    causal graphs (VAR-LiNGAM's model, with the order found by exhaustive
    search instead of greedily).

    Parameters
    ----------
    lags : int, at least 1
        The most lags the autoregression may use.
    criterion : "bic" (default), "aic", "hqic" or None
        Chooses the number of lags from 1 to ``lags``; None uses exactly
        ``lags``.
    prior_knowledge : (n, n) array or None
        ExhaustiveLiNGAM's format, for the instantaneous order and B0.
    tiers, search, window, beam, threads, random_state : as in ExhaustiveLiNGAM
        tiers, search, window and beam for the instantaneous order.

    Attributes
    ----------
    causal_order_ : list of int
        The instantaneous order, causes first.
    adjacency_matrices_ : array, shape (p + 1, n, n) for p = ``lags_``
        [0] is B0, [τ] is Bτ; entry [τ, i, j] != 0 means x_j at t - τ ->
        x_i at t, in the data's units.
    residuals_ : array, shape (T - p, n)
        The autoregression's residuals.
    independence_ : IndependenceCheck
        Of the instantaneous residuals (the autoregression's residuals less
        what B0 explains; see ExhaustiveLiNGAM).
    lags_ : int
        The number of lags used.
    total_score_ : float
        The best order's total.
    search_, blocks_ : as in ExhaustiveLiNGAM
    n_features_in_ : int
    feature_names_in_ : array of str
        The DataFrame's column names, when fitted on one.
    """

    def __init__(self, *, lags: int = 1, criterion: str | None = "bic",
                 prior_knowledge: npt.ArrayLike | None = None, threads: int = 0,
                 random_state: int | np.random.Generator | None = None, tiers: Any = None,
                 search: str = "auto", window: int | None = None,
                 beam: int | None = None) -> None:
        self.lags = lags
        self.criterion = criterion
        self.prior_knowledge = prior_knowledge
        self.threads = threads
        self.random_state = random_state
        self.tiers = tiers
        self.search = search
        self.window = window
        self.beam = beam

    def _knowledge(self) -> Knowledge:
        return Knowledge(self.prior_knowledge, self.tiers, self.window, self.search,
                         self.beam)

    def _checked(self, X: npt.ArrayLike) -> tuple[np.ndarray, list[str], bool, int, str | None]:
        lags = check_count(self.lags, "lags")
        if lags < 1:
            raise InputError(f"lags must be at least 1, got {self.lags}")
        criterion = check_criterion(self.criterion)
        values, names, from_frame = check_series(X, lags)
        return values, names, from_frame, lags, criterion

    def fit(self, X: npt.ArrayLike, y: object = None, *,
            progress: ProgressCallback | None = None,
            checkpoint: str | os.PathLike[str] | None = None,
            mpi: bool = False) -> VARExhaustiveLiNGAM:
        """Fits the model to a time series.

        Parameters
        ----------
        X : array-like or DataFrame, shape (T, n)
            Time steps x variables, oldest first.
        y : ignored
        progress, checkpoint, mpi :
            As in :func:`varkel.causal_order`, for the search of the residuals.

        Returns
        -------
        VARExhaustiveLiNGAM
            self, fitted.
        """
        threads = check_threads(self.threads)
        use_mpi = check_flag(mpi, "mpi")
        check_random_state(self.random_state)
        values, names, from_frame, lags, criterion = agree_if(use_mpi, lambda: self._checked(X))
        fitted = fit_var(values, lags, criterion, self._knowledge(), threads=threads,
                         progress=progress, checkpoint=checkpoint, mpi=use_mpi, names=names)
        self.causal_order_ = fitted.order
        self.total_score_ = fitted.total
        self.search_ = fitted.search
        self.blocks_ = fitted.blocks
        self.adjacency_matrices_ = fitted.adjacency
        self.residuals_ = fitted.autoregression.residuals
        self.independence_ = residual_independence(self.residuals_, fitted.adjacency[0], names)
        self.lags_ = fitted.autoregression.lags
        self.n_features_in_ = len(names)
        self.names_ = names
        if from_frame:
            self.feature_names_in_ = np.array(names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def feature_names(self) -> list[str]:
        """The variables' names: the DataFrame's, else x0, x1, ...

        Returns
        -------
        list of str
        """
        self._check_fitted()
        return list(self.names_)

    def diagnostics(self, X: npt.ArrayLike) -> list[Diagnostic]:
        """Where the fitted answer should not be trusted.

        :meth:`ExhaustiveLiNGAM.diagnostics` of the instantaneous model (the
        autoregression's residuals of X with the fitted lags, B0 and the order),
        and "non-stationary" when the autoregression has a root at or near the
        unit circle.

        Parameters
        ----------
        X : array-like or DataFrame
            The fitted series.

        Returns
        -------
        list of Diagnostic
        """
        values = self._fitted_series(X)
        names = self.feature_names()
        autoregression = fit_autoregression(values, self.lags_)
        found = diagnose(autoregression.residuals, self.adjacency_matrices_[0],
                         self.causal_order_, names)
        root = non_stationary(autoregression, values.shape[0], names)
        return ordered(found + ([] if root is None else [root]))

    def bootstrap(self, X: npt.ArrayLike, n_sampling: int, *,
                  progress: ProgressCallback | None = None) -> BootstrapResult:
        """VAR-LiNGAM's residual bootstrap.

        Fits the model to X, then to n_sampling series simulated from the fitted
        autoregression with its residuals drawn with replacement (seeded by
        ``random_state``, per resample), each with the fitted number of lags, on
        several threads at once. Does not change the fitted attributes.

        Parameters
        ----------
        X : array-like or DataFrame, shape (T, n)
        n_sampling : int
            The number of resamples, at least 1.
        progress : callable or None
            Called as ``progress(resamples done, n_sampling)``.

        Returns
        -------
        BootstrapResult
            Its ``adjacency_matrices_`` has shape (n_sampling, n, n * (p + 1))
            for p = ``lags_``: B0, B1, ... side by side, as VAR-LiNGAM gives
            them, so a column index j >= n is variable j % n at lag j // n.
        """
        count = check_count(n_sampling, "n_sampling")
        if count == 0:
            raise InputError("n_sampling must be at least 1")
        threads = check_threads(self.threads)
        values, names, _, lags, criterion = self._checked(X)
        fitted = fit_var(values, lags, criterion, self._knowledge(), threads=threads)
        n_vars, width = len(names), len(names) * (fitted.autoregression.lags + 1)
        check_result_memory(count, n_vars * width + n_vars, f"{n_vars} series")
        seed = resampling_seed(self.random_state)
        _, results, skipped = run_resamples(
            VARResampleFit(values, fitted, seed, self._knowledge()), count, workers(threads),
            progress)
        orders, matrices = stack_results(results, ((n_vars,), (n_vars, width)))
        return BootstrapResult(adjacency_matrices_=matrices, causal_orders_=orders.astype(np.intp),
                               feature_names_=list(names), skipped_resamples_=skipped)

    def unrolled_graph(self) -> tuple[np.ndarray, list[str], list[int]]:
        """The fitted graph over every variable at t and at each lag.

        Returns
        -------
        adjacency : array
            Over n * (p + 1) nodes for p = ``lags_``; node τ n + j is x_j at
        t - τ.
        names : list of str
            Node names such as 'x0(t-1)'.
        order : list of int
            An order of the nodes, oldest lag first.
        """
        self._check_fitted()
        return unrolled(self.adjacency_matrices_, self.feature_names(), self.causal_order_)

    def to_dot(self, bootstrap: BootstrapResult | None = None) -> str:
        """The unrolled graph as Graphviz DOT text.

        Parameters
        ----------
        bootstrap : BootstrapResult or None
            Labels edges with their probabilities.

        Returns
        -------
        str
            Edges labelled with their weights; lagged nodes are named like
            'x0(t-1)'.
        """
        adjacency, names, _ = self.unrolled_graph()
        return to_dot(adjacency, names,
                      _padded(bootstrap, self.feature_names(), adjacency.shape[0]))

    def plot(self, ax: Any = None, bootstrap: BootstrapResult | None = None) -> Any:
        """Draws the unrolled graph with matplotlib.

        Parameters
        ----------
        ax : matplotlib Axes or None
        bootstrap : BootstrapResult or None

        Returns
        -------
        matplotlib Axes
        """
        adjacency, names, order = self.unrolled_graph()
        return plot_graph(adjacency, names, order,
                          probabilities=_padded(bootstrap, self.feature_names(),
                                                adjacency.shape[0]), ax=ax)

    def report(self, X: npt.ArrayLike, path: str | os.PathLike[str],
               bootstrap: BootstrapResult | None = None, *,
               sources: list[str] | None = None, command: str | None = None) -> None:
        """Writes a one-file HTML report of the fit to `path`: the data and
        its checks, the order and its margins, the unrolled graph and
        one table of edges per lag, the bootstrap (when given), how to reproduce
        the run and a methods paragraph. It needs no network and no other
        file. sources: the file(s) X was read from, named and hashed in the
        report; command: the command line that ran, shown instead of the
        parameters. Needs matplotlib."""
        from varkel._report import lags_report, write_html  # noqa: PLC0415

        self._check_fitted()
        write_html(path, lags_report(self, X, bootstrap, sources=sources, command=command))

    def _fitted_series(self, X: npt.ArrayLike) -> np.ndarray:
        """X's values, refused unless its columns are the fitted ones."""
        self._check_fitted()
        values, names, from_frame = check_series(X, self.lags_)
        if names != self.feature_names() and (from_frame or len(names) != self.n_features_in_):
            raise InputError(f"X's columns ({', '.join(names)}) are not the fitted ones "
                             f"({', '.join(self.feature_names())})")
        return values

    def _unrolled_probabilities(self, bootstrap: BootstrapResult | None) -> np.ndarray | None:
        return _padded(bootstrap, self.feature_names(), self.unrolled_graph()[0].shape[0])

    def _check_fitted(self) -> None:
        if not hasattr(self, "adjacency_matrices_"):
            raise InputError("this VARExhaustiveLiNGAM is not fitted yet; call fit(X) first")


def _padded(bootstrap: BootstrapResult | None, names: list[str], size: int
            ) -> np.ndarray | None:
    """A bootstrap's edge probabilities ((n, n * (lags + 1))) as the
    unrolled graph's (size x size) matrix."""
    if bootstrap is None:
        return None
    probabilities = bootstrap_probabilities(bootstrap, names, (len(names), size))
    padded = np.zeros((size, size))
    padded[:probabilities.shape[0], :probabilities.shape[1]] = probabilities
    return padded
