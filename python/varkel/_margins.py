"""Order margins: how much worse the best order gets if a pair is reversed.

For every ordered pair, the engine finds the best total of the orders that
put x_j before x_i, from the scores of every variable with every parent set
it may have, summed in double precision (see varkel._engine.order_margins).
The margin of the pair is the found order's total less that best total: 0
where the order already has x_j before x_i, and otherwise the price of
reversing the pair. A small margin is a pair the data hardly decide.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel import _engine
from varkel._errors import InputError

# Above this many variables the tables (n * 2^(n-1) scores) are not kept by
# default: 1.6 GiB at 24 variables, and four times more per two variables.
DEFAULT_MAX_VARS = 24


@dataclass(frozen=True)
class OrderMargins:
    margins: np.ndarray  # (n, n)
    total: float
    runner_up_order: list[int] | None
    runner_up_total: float
    # When the order was searched along with the margins: the search's
    # sinks and float32 total, as the engine's search gives them.
    sinks: np.ndarray | None = None
    search_total: float | None = None


def check_margins_option(value: object) -> bool | None:
    if value is None or isinstance(value, bool | np.bool_):
        return None if value is None else bool(value)
    raise InputError(f"margins must be None, True or False, got {value!r}")


def margins_fit(n_vars: int, n_samples: int | list[int], threads: int) -> tuple[bool, str]:
    """Whether margins fit in the memory left, and a message if not."""
    plan = _engine.plan(n_vars, n_samples, threads=threads)
    needed, left = plan["margin_bytes"], plan["available_bytes"]
    if needed <= left:
        return True, ""
    return False, (f"order margins over {n_vars} variables need {needed / 2**30:.1f} GiB of "
                   f"memory, more than the {left / 2**30:.1f} GiB left (limited by "
                   f"{plan['memory_limit']}); use margins=False")


def wanted(option: bool | None, n_vars: int, n_samples: int | list[int], threads: int) -> bool:
    """Whether to compute margins: always when asked (refusing in one line
    when they cannot fit), never when declined, and by default when they
    fit and n_vars <= DEFAULT_MAX_VARS."""
    if option is False:
        return False
    fits, message = margins_fit(n_vars, n_samples, threads)
    if option is True and not fits:
        raise MemoryError(message)
    return fits and (option is True or n_vars <= DEFAULT_MAX_VARS)


def order_margins(searched: np.ndarray | list[np.ndarray],
                  reference: np.ndarray | list[np.ndarray], order: list[int] | None,
                  successors: list[int] | None, *, threads: int,
                  progress: Callable[[int, int], Any] | None = None) -> OrderMargins:
    """The margins of `order`, or with order=None the search and the margins
    of its best order, from one evaluation of each score."""
    found = _engine.order_margins(searched, None, reference, order, threads=threads,
                                  successors=successors, progress=progress)
    runner_up = [int(v) for v in found["runner_up_order"]] or None
    return OrderMargins(np.asarray(found["margins"]), float(found["total"]), runner_up,
                        float(found["runner_up_total"]), found.get("sinks"),
                        found.get("search_total"))
