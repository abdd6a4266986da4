"""The engine's exact search as a table of sinks, and the order it gives:
in one call, or level by level through Python with a checkpoint or MPI."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel import _engine
from varkel._errors import InputError
from varkel._levels import run_levels

ProgressCallback = Callable[[int, int], Any]


def order_from_sinks(sinks: npt.ArrayLike, n_vars: int) -> list[int]:
    """The best ordering, from a sink table.

    Walks the table from the full set down. Raises InputError where a subset
    has no sink.

    Parameters
    ----------
    sinks : array of 2^n_vars ints
        Entry S: the last variable of the best ordering of subset S, or -1.
    n_vars : int

    Returns
    -------
    list of int
        First variable first.
    """
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
