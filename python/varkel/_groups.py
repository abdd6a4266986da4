"""MultiGroupExhaustiveLiNGAM: one causal order shared by several data sets.

Patients, sites or conditions often share how variables cause one another
but not the strengths or the noise. Each group is centred and scaled on its
own and scored against its own reference vector; a variable's score for a
parent set is the sum of its scores in the groups, in double precision and
in group order. The search over that summed score is as exact as for one
data set, and costs about as much as one search over all the rows.
"""

from __future__ import annotations

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
from varkel._data import Data, as_data, check_same_columns
from varkel._diagnostics import Diagnostic, diagnose
from varkel._effects import check_effect_indices, no_path_warning, total_effect, total_effects
from varkel._errors import InputError
from varkel._estimator import residual_independence, stack_results
from varkel._graph import groups_to_dot, plot_graph
from varkel._margins import check_margins_option
from varkel._mpi import agree_if
from varkel._options import check_count, check_flag, check_threads, workers
from varkel._params import EstimatorParams
from varkel._prior import forbidden_edges
from varkel._pruning import prune_adjacency
from varkel._reference import resolve_reference
from varkel._search import ProgressCallback, prepare_values


@dataclass(frozen=True)
class PreparedGroups:
    groups: list[Data]
    searched: list[np.ndarray]    # each group centred and scaled on its own
    references: list[np.ndarray]  # each group's reference vector, of its length
    plan: OrderPlan

    @property
    def prior_knowledge(self) -> np.ndarray | None:
        return self.plan.prior_knowledge

    @property
    def names(self) -> list[str]:
        return group_names(self.groups)

    @property
    def forbidden(self) -> np.ndarray | None:
        return forbidden_edges(self.prior_knowledge)


def group_names(groups: list[Data]) -> list[str]:
    """The first DataFrame's column names, else x0, x1, ..."""
    return next((d.names for d in groups if d.from_frame), groups[0].names)


def read_groups(X_list: Any) -> list[Data]:
    """Each group checked as a data set; all must have the same columns
    (by count, and by name among DataFrames)."""
    if isinstance(X_list, np.ndarray) or not isinstance(X_list, list | tuple):
        raise InputError("X_list must be a list of data sets (arrays or DataFrames), one per "
                         f"group, got {type(X_list).__name__}")
    if not X_list:
        raise InputError("X_list is empty: give at least one group")
    groups = []
    for g, X in enumerate(X_list):
        try:
            groups.append(as_data(X))
        except InputError as error:
            raise InputError(f"group {g}: {error}") from None
    first = groups[0]
    named = next((g for g, d in enumerate(groups) if d.from_frame), None)
    for g, data in enumerate(groups):
        if data.values.shape[1] != first.values.shape[1]:
            raise InputError(f"group {g} has {data.values.shape[1]} columns, group 0 has "
                             f"{first.values.shape[1]}; every group needs the same columns")
        if named is not None and data.from_frame:
            _refuse_other_names(groups[named].names, data.names, named, g)
    return groups


def _refuse_other_names(expected: list[str], names: list[str], first: int, g: int) -> None:
    for j, (want, got) in enumerate(zip(expected, names, strict=True)):
        if want != got:
            raise InputError(f"group {g}'s column {j} is {got!r}, group {first}'s is {want!r}; "
                             "every group needs the same columns in the same order")


def prepare_group(g: int, values: np.ndarray, names: list[str]) -> np.ndarray:
    """Group g's matrix to search; a refusal names the group."""
    try:
        return prepare_values(values, names, scale=True)
    except InputError as error:
        raise InputError(f"group {g}: {error}") from None


def prepare_groups(X_list: Any, prior_knowledge: npt.ArrayLike | None, tiers: Any = None,
                   window: object = None, search: object = "auto",
                   beam: object = None) -> PreparedGroups:
    groups = read_groups(X_list)
    plan = plan_order(prior_knowledge, tiers, window, group_names(groups), search, beam)
    searched, references = [], []
    for g, data in enumerate(groups):
        searched.append(prepare_group(g, data.values, data.names))
        references.append(resolve_reference("normal", data.values.shape[0])[1])
    return PreparedGroups(groups, searched, references, plan)


class GroupResampleFit:
    """Fits one bootstrap resample, by index: the rows of every group drawn
    with replacement from that group's own generator. Picklable."""

    def __init__(self, prepared: PreparedGroups, seeds: list[np.random.SeedSequence]) -> None:
        self.prepared, self.seeds = prepared, seeds

    def __call__(self, index: int) -> tuple[list[int], np.ndarray, np.ndarray] | str:
        prepared = self.prepared
        values = [d.values[resample_rows(seed, index, d.values.shape[0])]
                  for d, seed in zip(prepared.groups, self.seeds, strict=True)]
        try:
            searched = [prepare_group(g, v, prepared.names) for g, v in enumerate(values)]
            order = fit_planned(searched, prepared.references, prepared.plan, margins=False,
                                threads=1, progress=None, checkpoint=None, mpi=False).order
        except InputError as error:
            return str(error)
        matrices = np.array([prune_adjacency(v, order, prepared.forbidden) for v in values])
        effects = np.array([total_effects(v, B, order) for v, B in zip(values, matrices,
                                                                          strict=True)])
        return order, matrices, effects


class MultiGroupExhaustiveLiNGAM(EstimatorParams):
    """The best causal order shared by several data sets, by exhaustive
    search, and one causal graph per data set.

    ``fit(X_list)`` takes data sets with the same columns, in any number of
    rows each. Every variable's score is summed over the groups, and the
    order with the best total over all n! orders is found exactly. Each
    group's graph is then pruned from that order on the group's own data
    (adaptive lasso, as :class:`ExhaustiveLiNGAM`). Searched in blocks, each
    group has the earlier blocks regressed out of its own data.

    Parameters
    ----------
    prior_knowledge, tiers : as in ExhaustiveLiNGAM
        They apply to the shared order and to every graph.
    threads : int
        As in ExhaustiveLiNGAM; it never changes a result.
    random_state : int, numpy Generator or None
        Seeds :meth:`bootstrap`.
    margins, search, window, beam : as in ExhaustiveLiNGAM
        The large search sums each group's score.

    Attributes
    ----------
    causal_order_ : list of int
        The shared order, causes first.
    adjacency_matrices_ : list of (n, n) arrays
        One per group; ``B[i, j] != 0`` means x_j -> x_i in that group's
        units.
    total_score_ : float
        The shared order's total, summed over the groups.
    search_ : str
        As in ExhaustiveLiNGAM.
    blocks_ : list of lists of int
        As in ExhaustiveLiNGAM.
    independence_ : list of IndependenceCheck
        One per group (see ExhaustiveLiNGAM).
    order_margins_, runner_up_order_, runner_up_total_ : as in ExhaustiveLiNGAM
        Of the shared order, or None.
    n_features_in_ : int
        The number of columns.
    n_groups_ : int
        The number of groups.
    feature_names_in_ : array of str
        The columns' names, when the groups were DataFrames.
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

    def fit(self, X_list: Any, y: object = None, *,
            progress: ProgressCallback | None = None,
            checkpoint: str | os.PathLike[str] | None = None,
            mpi: bool = False) -> MultiGroupExhaustiveLiNGAM:
        """Finds the shared order and each group's graph.

        Parameters
        ----------
        X_list : list of array-likes or DataFrames
            The groups, with the same columns.
        y : ignored
        progress, checkpoint, mpi :
            As in :func:`varkel.causal_order`.

        Returns
        -------
        MultiGroupExhaustiveLiNGAM
            self, fitted.
        """
        threads = check_threads(self.threads)
        use_mpi = check_flag(mpi, "mpi")
        check_random_state(self.random_state)
        margins_option = check_margins_option(self.margins)
        prepared = agree_if(use_mpi, lambda: self._prepared(X_list))
        fitted = fit_planned(prepared.searched, prepared.references, prepared.plan,
                             margins=margins_option, threads=threads, progress=progress,
                             checkpoint=checkpoint, mpi=use_mpi)
        self.causal_order_ = fitted.order
        self.total_score_ = fitted.total
        self.adjacency_matrices_ = [prune_adjacency(d.values, fitted.order, prepared.forbidden)
                                    for d in prepared.groups]
        self.order_margins_: np.ndarray | None = fitted.margins
        self.runner_up_order_: list[int] | None = fitted.runner_up_order
        self.runner_up_total_: float | None = fitted.runner_up_total
        self.search_ = fitted.search
        self.blocks_ = fitted.blocks
        self.independence_ = [residual_independence(d.values, B, prepared.names)
                              for d, B in zip(prepared.groups, self.adjacency_matrices_,
                                              strict=True)]
        self.n_features_in_ = len(prepared.names)
        self.n_groups_ = len(prepared.groups)
        if any(d.from_frame for d in prepared.groups):
            self.feature_names_in_ = np.array(prepared.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def _prepared(self, X_list: Any) -> PreparedGroups:
        return prepare_groups(X_list, self.prior_knowledge, self.tiers, self.window,
                              self.search, self.beam)

    def feature_names(self) -> list[str]:
        """The variables' names: the DataFrames', else x0, x1, ...

        Returns
        -------
        list of str
        """
        self._check_fitted()
        if hasattr(self, "feature_names_in_"):
            return [str(name) for name in self.feature_names_in_]
        return [f"x{j}" for j in range(self.n_features_in_)]

    def estimate_total_effect(self, X_list: Any, from_index: int,
                              to_index: int) -> list[float]:
        """The total effect of x_from on x_to in each group.

        As :meth:`ExhaustiveLiNGAM.estimate_total_effect` computes it on that
        group's data and graph; 0.0 everywhere, with a warning, when x_to comes
        first in the order.

        Parameters
        ----------
        X_list : list of array-likes or DataFrames
            The fitted groups' data.
        from_index, to_index : int
            Column indices.

        Returns
        -------
        list of float
            One effect per group.
        """
        self._check_fitted()
        groups = self._fitted_groups(X_list)
        source, target = check_effect_indices(from_index, to_index, self.n_features_in_)
        if self.causal_order_.index(target) < self.causal_order_.index(source):
            no_path_warning(self.feature_names(), source, target)
            return [0.0] * len(groups)
        return [total_effect(d.values, B, source, target)
                for d, B in zip(groups, self.adjacency_matrices_, strict=True)]

    def bootstrap(self, X_list: Any, n_sampling: int, *,
                  progress: ProgressCallback | None = None) -> list[BootstrapResult]:
        """Fits resamples of every group at once.

        Each resample draws every group's rows with replacement from that group
        (seeded by ``random_state``, per group and per resample, so the results
        never depend on the threads). Resamples that cannot be searched are
        skipped as in :meth:`ExhaustiveLiNGAM.bootstrap`. Does not change the
        fitted attributes.

        Parameters
        ----------
        X_list : list of array-likes or DataFrames
        n_sampling : int
            The number of resamples, at least 1.
        progress : callable or None
            Called as ``progress(resamples done, n_sampling)``.

        Returns
        -------
        list of BootstrapResult
            One per group; their ``causal_orders_`` are the shared orders.
        """
        count = check_count(n_sampling, "n_sampling")
        if count == 0:
            raise InputError("n_sampling must be at least 1")
        threads = check_threads(self.threads)
        prepared = self._prepared(X_list)
        n_vars, n_groups = len(prepared.names), len(prepared.groups)
        check_result_memory(count, n_groups * 2 * n_vars * n_vars + n_vars,
                            f"{n_groups} groups of {n_vars} variables")
        root = resampling_seed(self.random_state)
        seeds = [np.random.SeedSequence(root.entropy, spawn_key=(*root.spawn_key, g))
                 for g in range(n_groups)]
        kept, results, skipped = run_resamples(GroupResampleFit(prepared, seeds), count,
                                               workers(threads), progress)
        orders, matrices, effects = stack_results(
            results, ((n_vars,), (n_groups, n_vars, n_vars), (n_groups, n_vars, n_vars)))
        kept_indices = np.array(kept, dtype=np.intp)
        return [BootstrapResult(adjacency_matrices_=matrices[:, g],
                                causal_orders_=orders.astype(np.intp),
                                feature_names_=list(prepared.names), skipped_resamples_=skipped,
                                total_effects_=effects[:, g],
                                resampling=(seeds[g], d.values.shape[0], kept_indices))
                for g, d in enumerate(prepared.groups)]

    def to_dot(self, bootstrap: list[BootstrapResult] | None = None,
               groups: list[str] | None = None) -> str:
        """Every group's graph as Graphviz DOT text, one cluster per group.

        Parameters
        ----------
        bootstrap : list of BootstrapResult or None
            As :meth:`bootstrap` gives it: labels edges with their probabilities.
        groups : list of str or None
            The clusters' titles; default 'group 0', 'group 1', ...

        Returns
        -------
        str
        """
        self._check_fitted()
        if groups is not None and len(groups) != self.n_groups_:
            raise InputError(f"groups names {len(groups)} groups; the model has "
                             f"{self.n_groups_}")
        probabilities = None if bootstrap is None else [
            bootstrap_probabilities(b, self.feature_names(), (self.n_features_in_,) * 2)
            for b in self._per_group(bootstrap)]
        return groups_to_dot(self.adjacency_matrices_, self.feature_names(),
                             groups or [f"group {g}" for g in range(self.n_groups_)],
                             probabilities)

    def _per_group(self, bootstrap: list[BootstrapResult]) -> list[BootstrapResult]:
        if not isinstance(bootstrap, list | tuple) or len(bootstrap) != self.n_groups_:
            raise InputError(f"bootstrap must be the list of {self.n_groups_} results that "
                             "this model's bootstrap() returns")
        return list(bootstrap)

    def plot(self, group: int = 0, ax: Any = None, bootstrap: list[BootstrapResult] | None = None,
             *, margins: bool = True) -> Any:
        """Draws one group's graph with matplotlib (see :meth:`ExhaustiveLiNGAM.plot`).

        Parameters
        ----------
        group : int
            The group's index.
        ax : matplotlib Axes or None
        bootstrap : list of BootstrapResult or None
            As :meth:`bootstrap` gives it.
        margins : bool
            The shared order's margins shade every group's edges.

        Returns
        -------
        matplotlib Axes
        """
        self._check_fitted()
        g = check_count(group, "group")
        if g >= self.n_groups_:
            raise InputError(f"group must be below {self.n_groups_}, got {g}")
        return plot_graph(self.adjacency_matrices_[g], self.feature_names(), self.causal_order_,
                          probabilities=None if bootstrap is None
                          else bootstrap_probabilities(self._per_group(bootstrap)[g],
                                                       self.feature_names(),
                                                       (self.n_features_in_,) * 2),
                          margins=self.order_margins_ if margins else None, ax=ax)

    def diagnostics(self, X_list: Any) -> list[list[Diagnostic]]:
        """:meth:`ExhaustiveLiNGAM.diagnostics` for each group.

        Parameters
        ----------
        X_list : list of array-likes or DataFrames
            The fitted groups' data.

        Returns
        -------
        list of lists of Diagnostic
            One list per group, from its data, its graph and the shared order.
        """
        self._check_fitted()
        groups = self._fitted_groups(X_list)
        return [diagnose(d.values, B, self.causal_order_, self.feature_names())
                for d, B in zip(groups, self.adjacency_matrices_, strict=True)]

    def report(self, X_list: Any, path: str | os.PathLike[str],
               bootstrap: list[BootstrapResult] | None = None, *,
               sources: list[str] | None = None, command: str | None = None) -> None:
        """Writes a one-file HTML report of the fit to `path`: the order;
        for each group its data, checks, graph, edges and bootstrap (one
        BootstrapResult per group, as bootstrap() gives them); how to
        reproduce the run; a methods paragraph. It needs no network and no
        other file. sources: the files the groups were read from, named and
        hashed in the report; command: the command line that ran, shown
        instead of the parameters. Needs matplotlib."""
        from varkel._report import groups_report, write_html  # noqa: PLC0415

        self._check_fitted()
        write_html(path, groups_report(self, X_list, bootstrap, sources=sources,
                                       command=command))

    def _group_probabilities(self, per_group: list[BootstrapResult], g: int) -> np.ndarray:
        return bootstrap_probabilities(per_group[g], self.feature_names(),
                                       (self.n_features_in_,) * 2)

    def _fitted_groups(self, X_list: Any) -> list[Data]:
        groups = read_groups(X_list)
        if len(groups) != self.n_groups_:
            raise InputError(f"X_list has {len(groups)} groups; the model was fitted on "
                             f"{self.n_groups_}")
        if groups[0].values.shape[1] != self.n_features_in_:
            raise InputError(f"the groups have {groups[0].values.shape[1]} columns; the model "
                             f"was fitted on {self.n_features_in_}")
        fitted = getattr(self, "feature_names_in_", None)
        for g, data in enumerate(groups):
            try:
                check_same_columns(data, None if fitted is None else [str(n) for n in fitted])
            except InputError as error:
                raise InputError(f"group {g}: {error}") from None
        return groups

    def _check_fitted(self) -> None:
        if not hasattr(self, "adjacency_matrices_"):
            raise InputError("this MultiGroupExhaustiveLiNGAM is not fitted yet; call "
                             "fit(X_list) first")
