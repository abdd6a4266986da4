"""Checks of the scalar options that several entry points share."""

from __future__ import annotations

import operator
import os

import numpy as np

from varkel._errors import InputError

# The engine caps thread counts at the processors available; larger requests
# are passed on as this.
MAX_THREADS = 1 << 20


def check_count(value: object, name: str) -> int:
    """A non-negative integer: Python and NumPy integers, not booleans or floats."""
    if isinstance(value, (bool, np.bool_)):
        raise InputError(f"{name} must be a non-negative integer, got {value!r}")
    try:
        count = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise InputError(f"{name} must be a non-negative integer, got {value!r}") from None
    if count < 0:
        raise InputError(f"{name} must be a non-negative integer, got {count}")
    return count


def check_flag(value: object, name: str) -> bool:
    """True or False (NumPy booleans included); anything else is refused
    rather than read by its truth value."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise InputError(f"{name} must be True or False, got {value!r}")


def check_threads(value: object) -> int:
    """A thread count for the search: 0 for every processor available."""
    return min(check_count(value, "threads"), MAX_THREADS)


def workers(threads: int) -> int:
    """The threads a piece of work runs on: every processor this thread may
    run on for 0, else at most that many."""
    available = len(os.sched_getaffinity(0))
    return available if threads == 0 else min(threads, available)
