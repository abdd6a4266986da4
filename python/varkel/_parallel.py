"""Running independent pieces of work (bootstrap resamples) on several
cores, with the results in the order of their indices' completion.

On the free-threaded interpreter, threads: they share the data and run
Python at the same time. On an interpreter with a global lock, the searches
still release it, but the Python around them (the graph's pruning above all)
would take turns, so the work runs in worker processes instead, forked from
this one: each inherits the work (data included, without a copy), then gets
only indices. Forking, unlike spawning or a fork server, never imports the
caller's main script again, so a plain script without an
`if __name__ == "__main__":` guard does not start its work over in every
worker. Either way at most a few pieces are queued at a time, so
memory does not grow with their number, and a failure or an interrupt
cancels what is queued.
"""

from __future__ import annotations

import multiprocessing
import sys
from collections.abc import Callable, Iterator
from concurrent.futures import (
    FIRST_COMPLETED,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    wait,
)
from typing import Any, TypeVar

T = TypeVar("T")

_installed: Callable[[int], Any] | None = None


def _install(work: Callable[[int], Any]) -> None:
    global _installed  # noqa: PLW0603 - one piece of work per worker process
    _installed = work


def _run_installed(index: int) -> Any:
    assert _installed is not None
    return _installed(index)


def interpreter_has_lock() -> bool:
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return True if is_enabled is None else bool(is_enabled())


def _executor(work: Callable[[int], T], workers: int) -> tuple[Executor, Callable[[int], Any]]:
    if workers > 1 and interpreter_has_lock():
        context = multiprocessing.get_context("fork")
        return (ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                    initializer=_install, initargs=(work,)), _run_installed)
    return ThreadPoolExecutor(max_workers=workers), work


def map_bounded(work: Callable[[int], T], count: int,
                workers: int) -> Iterator[tuple[int, T]]:
    """(index, work(index)) for index in range(count), as they finish, on
    `workers` threads or processes. `work` must pickle for processes."""
    pool, call = _executor(work, max(1, min(count, workers)))
    with pool:
        pending: dict[Future[Any], int] = {}
        submitted = 0
        try:
            while submitted < count or pending:
                while submitted < count and len(pending) < 2 * workers:
                    pending[pool.submit(call, submitted)] = submitted
                    submitted += 1
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in finished:
                    yield pending.pop(future), future.result()
        finally:
            for future in pending:
                future.cancel()
