"""The one-call search: check and prepare the data, search, walk the sinks."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel._blocks.plan import OrderPlan, plan_order
from varkel._blocks.run import fit_blocks, large_blocks
from varkel._data import Data, as_data, prepare, refuse_collinear, refuse_constant
from varkel._mpi import agree_if
from varkel._options import check_flag, check_threads
from varkel._reference import resolve_reference
from varkel._sinks import ProgressCallback, Searched, order_from_sinks, search_sinks

__all__ = ["CausalOrder", "ProgressCallback", "Searched", "causal_order", "order_from_sinks",
           "prepare_search", "prepare_values", "run_search", "search_sinks"]


@dataclass(frozen=True, eq=False)
class CausalOrder:
    """Result of :func:`causal_order`.

    Attributes
    ----------
    order : list of int
        Column indices from first (a root cause) to last (a pure effect).
    total : float
        The best total score, a float32 value widened to float.
    sinks : array or None
        The search's table; entry S is the last variable of the best
        ordering of the subset with bit mask S, or -1. None when the order
        was searched in blocks (with tiers, or above 30 variables).
    reference : str
        "normal", or "custom" for a caller's vector.
    reference_vector : array
        The sorted reference values the residuals were compared with.
    names : list of str
        The column names (a DataFrame's, else x0, x1, ...).
    search : str
        "exact" when every block was searched exactly, "window w=W" when a
        block of more than 30 variables was window-searched, and the large
        search's settings, "large (...)", when it searched one.
    blocks : list of lists of int, or None
        The blocks searched one after another (column indices), or None for
        one search of every column.
    """

    order: list[int]
    total: float
    sinks: np.ndarray | None = field(repr=False)
    reference: str
    reference_vector: np.ndarray = field(repr=False)
    names: list[str] = field(repr=False)
    search: str = "exact"
    blocks: list[list[int]] | None = field(default=None, repr=False)

    @property
    def ordered_names(self) -> list[str]:
        """The column names from first to last."""
        return [self.names[j] for j in self.order]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CausalOrder):
            return NotImplemented
        return (self.order == other.order and self.reference == other.reference
                and self.names == other.names and self.search == other.search
                and self.blocks == other.blocks
                and np.array_equal(self.total, other.total, equal_nan=True)
                and (self.sinks is None) == (other.sinks is None)
                and (self.sinks is None or other.sinks is None
                     or np.array_equal(self.sinks, other.sinks))
                and np.array_equal(self.reference_vector, other.reference_vector))

    __hash__ = None  # type: ignore[assignment]


@dataclass(frozen=True)
class PreparedSearch:
    """Checked data, ready to search."""

    data: Data
    searched: np.ndarray  # centred (and scaled) data the engine sees
    reference: str
    reference_vector: np.ndarray
    plan: OrderPlan

    @property
    def successors(self) -> list[int] | None:
        return self.plan.successors

    @property
    def prior_knowledge(self) -> np.ndarray | None:
        """With the tiers' constraints."""
        return self.plan.prior_knowledge


def prepare_values(values: np.ndarray, names: list[str], *, scale: bool,
                   overwrite: bool = False) -> np.ndarray:
    """Refuses constant or collinear columns, then centres (and scales) them:
    the matrix the engine searches. overwrite=True may standardise `values`
    in place (with scale=True)."""
    refuse_constant(values, names)
    standardized = prepare(values, scale=True, overwrite=overwrite and scale)
    refuse_collinear(standardized, names)
    return standardized if scale else prepare(values, scale=False)


def prepare_search(X: npt.ArrayLike, *, reference: str | npt.ArrayLike = "normal",
                   standardize: object = True,
                   prior_knowledge: npt.ArrayLike | None = None, tiers: Any = None,
                   window: object = None, names: list[str] | None = None,
                   overwrite: bool = False, search: object = "auto",
                   beam: object = None) -> PreparedSearch:
    """Checks X and the options and prepares the search. names: the columns'
    names when X is an array (as a table read from a file has them).
    overwrite=True lets a caller that owns the array X have it standardised
    in place, so that the search holds one copy of the table, not two; X's
    values are then the searched ones."""
    scale = check_flag(standardize, "standardize")
    data = as_data(X, names, keep_layout=overwrite)
    plan = plan_order(prior_knowledge, tiers, window, data.names, search, beam)
    searched = prepare_values(data.values, data.names, scale=scale, overwrite=overwrite)
    name, R = resolve_reference(reference, data.values.shape[0])
    return PreparedSearch(data, searched, name, R, plan)


def run_search(prepared: PreparedSearch, *, threads: int,
               progress: ProgressCallback | None = None,
               checkpoint: str | os.PathLike[str] | None = None,
               mpi: bool = False) -> CausalOrder:
    names = prepared.data.names
    if prepared.plan.blocks is not None:
        found = fit_blocks(prepared.searched, prepared.reference_vector, prepared.plan.blocks,
                           large_blocks(prepared.plan), margins=False, threads=threads,
                           progress=progress, checkpoint=checkpoint, mpi=mpi)
        return CausalOrder(order=found.order, total=found.total, sinks=None,
                           reference=prepared.reference,
                           reference_vector=prepared.reference_vector, names=names,
                           search=found.search, blocks=found.blocks)
    sinks, total = search_sinks(prepared.searched, prepared.reference_vector,
                                prepared.successors, threads=threads, progress=progress,
                                checkpoint=checkpoint, mpi=mpi)
    return CausalOrder(order=order_from_sinks(sinks, len(names)), total=total, sinks=sinks,
                       reference=prepared.reference,
                       reference_vector=prepared.reference_vector, names=names)


def causal_order(X: npt.ArrayLike, *, reference: str | npt.ArrayLike = "normal",
                 threads: int = 0, standardize: bool = True,
                 prior_knowledge: npt.ArrayLike | None = None, tiers: Any = None,
                 window: int | None = None, progress: ProgressCallback | None = None,
                 checkpoint: str | os.PathLike[str] | None = None,
                 mpi: bool = False, names: Sequence[str] | None = None,
                 copy: bool = True, search: str = "auto",
                 beam: int | None = None) -> CausalOrder:
    """The best ordering of the columns of X, by exhaustive search.

    Ctrl-C stops the search with KeyboardInterrupt. A search that cannot fit
    in memory raises MemoryError before it starts; InputError (a ValueError)
    reports data or options that cannot be searched.

    Parameters
    ----------
    X : array-like or DataFrame, shape (n_samples, n_features)
        The data, one column per variable.
    reference : "normal" or array of n_samples floats
        The null distribution the sorted standardised residuals are contrasted
        with. Never the noise's own distribution: see
        :func:`varkel.reference_vector`.
    threads : int
        Worker threads; 0 (default) uses every processor this thread may run
        on, and larger counts are capped at that number. Small searches run on
        the calling thread. The result never depends on it.
    standardize : bool
        Scale each column to unit variance first, so the order does not depend
        on the columns' units. Columns are always centred; False skips only the
        scaling.
    prior_knowledge : (n, n) array or None
        DirectLiNGAM's format (see :class:`ExhaustiveLiNGAM`); the result is
        then the best order that satisfies every constraint it implies.
    tiers : list of lists of columns, or None
        Indices or a DataFrame's names, earlier tiers first, every column in
        exactly one: no variable is an ancestor of a variable of an earlier
        tier. The order is then searched tier by tier, each exactly on the data
        with the earlier tiers regressed out, so the columns may number more
        than 30 as long as every tier has at most 30. Prior knowledge that
        splits the order into such blocks is used the same way above 30
        variables.
    window : None or int from 2 to 25
        Given alone, a block of more than 30 variables is searched by
        windows of w consecutive positions from a greedy order, and
        ``search`` says "window w=W". With search="large", the width of
        that search's windows.
    progress : callable or None
        Called as ``progress(done, total)`` with the number of score
        evaluations done, at least every half second; an exception it raises
        stops the search.
    checkpoint : path or None
        A directory; each finished level of the search is written there
        durably, and a search of the same inputs that finds it resumes after
        its last complete level, with a bit-identical result. A checkpoint of
        other inputs, or a damaged one, is refused.
    mpi : bool
        Split each level over the ranks of an MPI job (run under mpiexec or
        srun; needs mpi4py). Every rank must call this with the same inputs,
        and each gets the result, bit-identical to a single process's. Only
        rank 0 writes the checkpoint.
    names : list of str or None
        The columns' names when X is an array (a DataFrame has its own);
        messages and ``names`` in the result use them. Default x0, x1, ...
    copy : bool
        True (default) leaves X as it is. False lets the search standardise
        a writeable float64 array X in place instead of in a copy, which
        halves the memory the data takes; X then holds the searched values.
        A table made by :func:`varkel.column_table` is then also searched in
        place, without the search's own copy of the data.
    search : "auto", "exact", "window" or "large"
        How a block of more than 30 variables is searched (blocks of up to
        30 are always searched exactly). "large": the large search (see
        :class:`ExhaustiveLiNGAM`); "window": the window search; "exact":
        such blocks are refused. "auto" (default): "window" when only a
        window is given, else "large".
    beam : None or int of at least 1
        The large search then starts from a beam over the subset lattice
        that keeps this many sets of variables a level, in place of
        DirectLiNGAM's pairwise rule.

    Returns
    -------
    CausalOrder
    """
    use_mpi = check_flag(mpi, "mpi")
    thread_count = check_threads(threads)
    # Under MPI a rank whose copy of the data fails its checks must not leave
    # the others waiting: the ranks agree on the checks before searching.
    overwrite = not check_flag(copy, "copy")
    prepared = agree_if(use_mpi, lambda: prepare_search(
        X, reference=reference, standardize=standardize, prior_knowledge=prior_knowledge,
        tiers=tiers, window=window, names=None if names is None else list(names),
        search=search, beam=beam,
        overwrite=overwrite))
    return run_search(prepared, threads=thread_count, progress=progress, checkpoint=checkpoint,
                      mpi=use_mpi)
