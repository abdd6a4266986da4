"""The one-call search: check and prepare the data, search, walk the sinks."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel import _engine
from varkel._data import Data, as_data, prepare, refuse_collinear, refuse_constant
from varkel._errors import InputError
from varkel._levels import run_levels
from varkel._mpi import agree_if
from varkel._options import check_flag, check_threads
from varkel._prior import check_prior_knowledge, successor_masks
from varkel._reference import resolve_reference

ProgressCallback = Callable[[int, int], Any]


@dataclass(frozen=True, eq=False)
class CausalOrder:
    """Result of :func:`causal_order`.

    order: column indices from first (a root cause) to last (a pure effect).
    total: the best total score, a float32 value widened to float.
    sinks: the search's table; entry S is the last variable of the best
        ordering of the subset with bit mask S, or -1.
    reference: "normal", or "custom" for a caller's vector.
    reference_vector: the sorted reference values the residuals were compared with.
    names: the column names (a DataFrame's, else x0, x1, ...).
    """

    order: list[int]
    total: float
    sinks: np.ndarray = field(repr=False)
    reference: str
    reference_vector: np.ndarray = field(repr=False)
    names: list[str] = field(repr=False)

    @property
    def ordered_names(self) -> list[str]:
        """The column names from first to last."""
        return [self.names[j] for j in self.order]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CausalOrder):
            return NotImplemented
        return (self.order == other.order and self.reference == other.reference
                and self.names == other.names
                and np.array_equal(self.total, other.total, equal_nan=True)
                and np.array_equal(self.sinks, other.sinks)
                and np.array_equal(self.reference_vector, other.reference_vector))

    __hash__ = None  # type: ignore[assignment]


def order_from_sinks(sinks: npt.ArrayLike, n_vars: int) -> list[int]:
    """Walks a sink table from the full set down: returns the best ordering,
    first variable first. Raises InputError where a subset has no sink."""
    table = np.asarray(sinks)
    if table.shape != (1 << n_vars,):
        raise InputError(f"a table for {n_vars} variables has {1 << n_vars} entries, got "
                         f"shape {table.shape}")
    subset = (1 << n_vars) - 1
    reversed_order = []
    while subset:
        sink = int(table[subset])
        if sink < 0:
            members = [j for j in range(n_vars) if subset >> j & 1]
            raise InputError(f"no ordering of variables {members} has a finite score "
                             "(degenerate data?)")
        if not subset >> sink & 1:
            raise InputError(f"table entry {subset} names variable {sink}, not a member")
        reversed_order.append(sink)
        subset &= ~(1 << sink)
    return reversed_order[::-1]


@dataclass(frozen=True)
class PreparedSearch:
    """Checked data, ready to search."""

    data: Data
    searched: np.ndarray  # centred (and scaled) data the engine sees
    reference: str
    reference_vector: np.ndarray
    successors: list[int] | None
    prior_knowledge: np.ndarray | None


def prepare_values(values: np.ndarray, names: list[str], *, scale: bool) -> np.ndarray:
    """Refuses constant or collinear columns, then centres (and scales) them:
    the matrix the engine searches."""
    refuse_constant(values, names)
    standardized = prepare(values, scale=True)
    refuse_collinear(standardized, names)
    return standardized if scale else prepare(values, scale=False)


def prepare_search(X: npt.ArrayLike, *, reference: str | npt.ArrayLike = "normal",
                   standardize: object = True,
                   prior_knowledge: npt.ArrayLike | None = None) -> PreparedSearch:
    scale = check_flag(standardize, "standardize")
    data = as_data(X)
    n_samples, n_vars = data.values.shape
    searched = prepare_values(data.values, data.names, scale=scale)
    name, R = resolve_reference(reference, n_samples)
    pk = None if prior_knowledge is None else check_prior_knowledge(prior_knowledge, n_vars)
    successors = None if pk is None else successor_masks(pk, data.names)
    return PreparedSearch(data, searched, name, R, successors, pk)


# The matrices the engine searches, and their reference vectors: one data
# set, or a list of groups that share the order.
Searched = np.ndarray | list[np.ndarray]


def search_sinks(searched: Searched, reference: Searched, successors: list[int] | None, *,
                 threads: int, progress: ProgressCallback | None = None,
                 checkpoint: str | os.PathLike[str] | None = None,
                 mpi: bool = False) -> tuple[np.ndarray, float]:
    """The engine's sinks table and best total; level by level with a
    checkpoint or MPI."""
    if checkpoint is None and not mpi:
        sinks, total = _engine.search(searched, None, reference, threads=threads,
                                      successors=successors, progress=progress)
        return sinks, total
    return run_levels(searched, reference, successors, threads=threads, progress=progress,
                      checkpoint=None if checkpoint is None else os.fspath(checkpoint), mpi=mpi)


def run_search(prepared: PreparedSearch, *, threads: int,
               progress: ProgressCallback | None = None,
               checkpoint: str | os.PathLike[str] | None = None,
               mpi: bool = False) -> CausalOrder:
    n_vars = prepared.searched.shape[1]
    sinks, total = search_sinks(prepared.searched, prepared.reference_vector,
                                prepared.successors, threads=threads, progress=progress,
                                checkpoint=checkpoint, mpi=mpi)
    return CausalOrder(order=order_from_sinks(sinks, n_vars), total=total, sinks=sinks,
                       reference=prepared.reference,
                       reference_vector=prepared.reference_vector, names=prepared.data.names)


def causal_order(X: npt.ArrayLike, *, reference: str | npt.ArrayLike = "normal",
                 threads: int = 0, standardize: bool = True,
                 prior_knowledge: npt.ArrayLike | None = None,
                 progress: ProgressCallback | None = None,
                 checkpoint: str | os.PathLike[str] | None = None,
                 mpi: bool = False) -> CausalOrder:
    """The best ordering of the columns of X (samples x variables, an array or
    a DataFrame), by exhaustive search.

    reference: the null distribution the sorted standardised residuals are
        contrasted with: "normal" (default), or a vector of n_samples values.
        Never the noise's own distribution: see varkel.reference_vector.
    threads: worker threads; 0 (default) uses every processor this thread may
        run on, and larger counts are capped at that number. Small searches
        run on the calling thread. The result never depends on it.
    standardize: scale each column to unit variance first, so the order does
        not depend on the columns' units. Columns are always centred;
        standardize=False skips only the scaling.
    prior_knowledge: an n x n matrix in DirectLiNGAM's format (see
        ExhaustiveLiNGAM); the result is then the best order that satisfies
        every constraint it implies.
    progress: called as progress(done, total) with the number of score
        evaluations done, at least every half second; an exception it raises
        stops the search.
    checkpoint: a directory; each finished level of the search is written
        there durably, and a search of the same inputs that finds it resumes
        after its last complete level, with a bit-identical result. A
        checkpoint of other inputs, or a damaged one, is refused.
    mpi: split each level over the ranks of an MPI job (run under mpiexec or
        srun; needs mpi4py). Every rank must call this with the same inputs,
        and each gets the result, bit-identical to a single process's.
        Only rank 0 writes the checkpoint.

    Ctrl-C stops the search with KeyboardInterrupt. A search that cannot fit
    in memory raises MemoryError before it starts; InputError (a ValueError)
    reports data or options that cannot be searched.
    """
    use_mpi = check_flag(mpi, "mpi")
    thread_count = check_threads(threads)
    # Under MPI a rank whose copy of the data fails its checks must not leave
    # the others waiting: the ranks agree on the checks before searching.
    prepared = agree_if(use_mpi, lambda: prepare_search(
        X, reference=reference, standardize=standardize, prior_knowledge=prior_knowledge))
    return run_search(prepared, threads=thread_count, progress=progress, checkpoint=checkpoint,
                      mpi=use_mpi)
