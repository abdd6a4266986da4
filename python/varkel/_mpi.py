"""Agreement between the ranks of an MPI job.

A rank that fails alone and leaves must not leave the others waiting in a
collective call. So every step that can fail on one rank only (reading a
file, checking the data, opening a checkpoint) runs through `agree`: each
rank runs it, the ranks exchange whether it failed, and if it failed on any
rank, every rank raises the same error, naming the rank, before anything
else is exchanged.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar, cast

from varkel._errors import InputError

T = TypeVar("T")


def mpi_world() -> Any:
    """MPI's world communicator (mpi4py, the optional extra varkel[mpi])."""
    try:
        from mpi4py import MPI  # noqa: PLC0415 - MPI is optional
    except ImportError:
        raise InputError("searching with MPI needs mpi4py: pip install 'varkel[mpi]'") from None
    return MPI.COMM_WORLD


def agree(comm: Any, action: Callable[[], T] | None, *,
          root_only: bool = False) -> T | None:
    """Runs `action` on every rank (or on rank 0 only; None: nothing to do
    here) and, when it fails anywhere, raises that failure on every rank.
    Without MPI (comm None), just runs it."""
    if comm is None:
        return None if action is None else action()
    result, failure, error = None, None, None
    if action is not None and (not root_only or comm.Get_rank() == 0):
        try:
            result = action()
        except Exception as caught:  # every failure must reach the other ranks
            error = caught
            failure = (type(caught).__name__, str(caught) or type(caught).__name__)
    failures = comm.allgather(failure)
    for rank, found in enumerate(failures):
        if found is None:
            continue
        if error is not None and rank == comm.Get_rank() and not _reportable(error):
            raise error  # a fault of this rank's own: its traceback matters
        kind = MemoryError if found[0] == "MemoryError" else InputError
        raise kind(f"MPI rank {rank}: {found[1]}")
    return result


def _reportable(error: BaseException) -> bool:
    return isinstance(error, InputError | MemoryError)


def agree_if(mpi: bool, action: Callable[[], T]) -> T:
    """`action`, run under agreement of the MPI job's ranks when mpi is set."""
    if not mpi:
        return action()
    return cast(T, agree(mpi_world(), action))
