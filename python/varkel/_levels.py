"""Searches that go level by level through Python: with a checkpoint, and
split over MPI ranks.

Each level is a unit: with a checkpoint it is written once complete; with
MPI every rank relaxes a fixed contiguous block of the level's subset ranks
(with its own threads), and the blocks' totals and sinks are then gathered
on every rank, so that all ranks hold the whole level before the next one.
Rank 0 writes the checkpoint and, on resuming, reads it and sends the levels
to the others. The results are bit-identical to a single uninterrupted
search, however the levels were split or resumed.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

import numpy as np

from varkel import _engine
from varkel._checkpoint import Checkpoint, fingerprint
from varkel._errors import InputError
from varkel._mpi import agree, mpi_world

ProgressCallback = Callable[[int, int], Any]


def block(count: int, rank: int, size: int) -> tuple[int, int]:
    """Rank `rank`'s contiguous share [first, last) of `count` subset ranks."""
    return count * rank // size, count * (rank + 1) // size


def _gather_level(comm: Any, search: Any, level: int) -> None:
    """Every rank's block of the level, everywhere, in place."""
    from mpi4py import MPI  # noqa: PLC0415

    count, size = search.level_size(level), comm.Get_size()
    shares = [block(count, r, size) for r in range(size)]
    counts = [last - first for first, last in shares]
    starts = [first for first, _ in shares]
    comm.Allgatherv(MPI.IN_PLACE, [search.level_totals(), counts, starts, MPI.FLOAT])
    comm.Allgatherv(MPI.IN_PLACE, [search.level_sinks(), counts, starts, MPI.INT8_T])


def _check_same_inputs(comm: Any, digest: bytes) -> None:
    digests = comm.allgather(digest)
    different = [rank for rank, other in enumerate(digests) if other != digests[0]]
    if different:
        raise InputError(f"MPI ranks {different} searched other data than rank 0; every rank "
                         "must read the same inputs")


def _resume(comm: Any, store: Checkpoint | None, search: Any) -> int:
    """Fills the search with the checkpoint's complete levels: rank 0 reads
    them, and with MPI sends each level to the other ranks. Returns the last
    level loaded."""
    last = agree(comm, store.last_complete_level if store else None,
                         root_only=True) or 0
    if comm is not None:
        last = comm.bcast(last, root=0)
    for level in range(1, last + 1):
        with_totals = level == last  # the only totals the next level reads
        agree(comm, partial(store.fill_level, search, level, with_totals=with_totals)
                      if store else None, root_only=True)
        if comm is not None:
            comm.Bcast(search.level_sinks(), root=0)
            if with_totals:
                comm.Bcast(search.level_totals(), root=0)
        search.complete_level(level)
    return last


def run_levels(searched: np.ndarray | list[np.ndarray], reference: np.ndarray | list[np.ndarray],
               successors: Sequence[int] | None,
               *, threads: int, progress: ProgressCallback | None, checkpoint: str | None,
               mpi: bool) -> tuple[np.ndarray, float]:
    """The engine's search, level by level, with a checkpoint and/or MPI."""
    comm = mpi_world() if mpi else None
    rank = comm.Get_rank() if comm is not None else 0
    search: Any = agree(comm, lambda: _engine.Search(searched, None, reference,
                                                     threads=threads, successors=successors))
    digest = fingerprint(searched, reference, successors)
    if comm is not None:
        _check_same_inputs(comm, digest)
    store = agree(comm, partial(Checkpoint, checkpoint, digest, search.n_vars)
                  if checkpoint is not None and rank == 0 else None)
    try:
        _relax_all(comm, store, search, progress)
    finally:
        if store is not None:
            store.close()
    return search.sinks, search.total


def _relax_all(comm: Any, store: Checkpoint | None, search: Any,
               progress: ProgressCallback | None) -> None:
    """Resumes from the checkpoint, then relaxes, gathers and saves every
    remaining level."""
    rank, size = (comm.Get_rank(), comm.Get_size()) if comm is not None else (0, 1)
    start = _resume(comm, store, search)
    if progress is not None and start < search.n_vars:
        progress(search.scores_before(start + 1), search.scores)  # where this run starts
    for level in range(start + 1, search.n_vars + 1):
        first, last = block(search.level_size(level), rank, size)
        search.relax_level(level, first, last, progress=_scaled(progress, search, level, first,
                                                                size))
        if comm is not None:
            _gather_level(comm, search, level)
        agree(comm, partial(store.save_level, level, search.level_totals(),
                            search.level_sinks()) if store else None, root_only=True)
        search.complete_level(level)
    if progress is not None:
        progress(search.scores, search.scores)


def _scaled(progress: ProgressCallback | None, search: Any, level: int, first: int,
            size: int) -> ProgressCallback | None:
    """Progress of this rank's block, scaled to the whole level (every rank
    works through its block at about the same pace)."""
    if progress is None or size == 1:
        return progress
    before = search.scores_before(level)
    offset = before + first * level

    def report(done: int, total: int) -> None:
        progress(min(before + (done - offset) * size, total), total)

    return report
