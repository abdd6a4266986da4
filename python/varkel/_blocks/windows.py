"""The window search: a certified local optimum for orders too long to
search exactly.

Reordering w consecutive positions changes only those w variables' scores,
and always against the same predecessors (the variables before the window).
So the best reordering of a window is an exact search of its w variables on
the data with everything before the window regressed out.

The search starts from a greedy order: the variable placed next is, among
those the constraints allow, the one whose residual on the variables
already placed scores highest (is least Gaussian), which is how the true
order's roots stand out. It then sweeps windows of w positions from first
to last, each overlapping the one before by half, and searches each
exactly; a window's new order is kept only when its total (summed in
double) is higher than the current one's by more than rounding, so ties
keep the current order and the total never goes down. Later sweeps search
only the windows that overlap one changed since they were last searched.
The search ends when there are none: no window of the sweep, at any of its
positions, can then be reordered for a higher total.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from varkel import _engine
from varkel._blocks.prefix import Prefix
from varkel._blocks.state import StateFile
from varkel._sinks import order_from_sinks, search_sinks

# A window's new order must beat the current one by more than this share of
# its total: below it, the difference is rounding (the same scores reached
# through other factorisations), and the current order stays.
IMPROVEMENT = 1e-12


def score_residual(residual: np.ndarray, reference: np.ndarray) -> float:
    """The score of one variable given its residual: the mean squared
    distance of its sorted standardised residual from the reference."""
    standardized = np.sort(residual / np.sqrt(np.mean(residual * residual)))
    return float(np.mean((standardized - reference) ** 2))


def greedy_order(matrices: list[np.ndarray], references: list[np.ndarray],
                 successors: list[int] | None) -> list[int]:
    """Places, one at a time, the allowed variable whose residual on those
    placed scores highest (summed over groups)."""
    n_vars = matrices[0].shape[1]
    remaining = list(range(n_vars))
    residuals = [m.copy() for m in matrices]
    placed_mask, order = 0, []
    while remaining:
        allowed = [v for v in remaining if successors is None or
                   not _required_before(successors, v) & ~placed_mask]
        scores = [sum(score_residual(r[:, v], ref) for r, ref in
                      zip(residuals, references, strict=True)) for v in allowed]
        chosen = allowed[int(np.argmax(scores))]
        order.append(chosen)
        remaining.remove(chosen)
        placed_mask |= 1 << chosen
        for r in residuals:  # regress the chosen one's residual out of the rest
            q = r[:, chosen] / np.linalg.norm(r[:, chosen])
            for _ in range(2):
                r[:, remaining] -= np.outer(q, q @ r[:, remaining])
    return order


def _required_before(successors: list[int], v: int) -> int:
    """The mask of variables that must come before v."""
    return sum(1 << a for a, mask in enumerate(successors) if mask >> v & 1)


def window_starts(n_vars: int, width: int) -> list[int]:
    """The first positions of a sweep's windows: every width // 2, and the
    last window ending at the last position."""
    step = max(1, width // 2)
    starts = list(range(0, n_vars - width + 1, step))
    if starts[-1] != n_vars - width:
        starts.append(n_vars - width)
    return starts


def _local_successors(successors: list[int] | None, window: list[int]) -> list[int] | None:
    if successors is None:
        return None
    masks = [sum(1 << k for k, b in enumerate(window) if successors[a] >> b & 1)
             for a in window]
    return masks if any(masks) else None


def engine_input(matrices: list[np.ndarray], grouped: bool) -> Any:
    """What the engine takes: the list of groups, or the one data set."""
    return matrices if grouped else matrices[0]


def window_total(searched: list[np.ndarray], references: list[np.ndarray],
                 order: list[int], grouped: bool) -> float:
    """The window's total for `order` (positions in the window), its
    scores summed in double from first to last."""
    X, R = engine_input(searched, grouped), engine_input(references, grouped)
    total, parents = 0.0, 0
    for v in order:
        total += _engine.score(X, None, R, v, parents)
        parents |= 1 << v
    return total


class WindowState:
    """Where a window search stands, kept in a file of the checkpoint's
    directory so that a killed run resumes after its last finished window:
    the order, the windows still to search, and where the sweep stands."""

    NAME = "window-state.json"

    def __init__(self, directory: str | None, fingerprint: str) -> None:
        self.file = StateFile(directory, self.NAME, fingerprint)

    def load(self) -> tuple[list[int], list[bool], int] | None:
        state = self.file.load()
        if state is None:
            return None
        return self.file.fields(lambda: (list(state["order"]),
                                         [bool(p) for p in state["pending"]],
                                         int(state["next"])))

    def save(self, order: list[int], pending: list[bool], next_window: int) -> None:
        self.file.save(order=order, pending=pending, next=next_window)


def window_search(matrices: list[np.ndarray], references: list[np.ndarray],
                  successors: list[int] | None, width: int, *, grouped: bool, threads: int,
                  progress: Callable[[int, int], Any] | None, state: WindowState,
                  mpi: bool) -> list[int]:
    """The window search of one block (matrices already regressed on what
    comes before it), from the greedy order; returns the final order.

    A window's best order depends only on its variables and on the set of
    variables before it (not on their order). So a window searched once
    needs searching again only when a window overlapping it has changed
    since: the sweeps visit only such windows, and the search ends when none
    is left, every window then searched with its present variables and
    predecessors and found unimprovable."""
    n_vars = matrices[0].shape[1]
    starts = window_starts(n_vars, width)
    loaded = state.load()
    order, pending, first = loaded if loaded else (
        greedy_order(matrices, references, successors), [True] * len(starts), 0)
    per_window = width << (width - 1)
    done = 0
    while any(pending):
        prefix, placed = Prefix(matrices), 0
        for k in range(first, len(starts)):
            if not pending[k]:
                continue
            start = starts[k]
            prefix.extend(order[placed:start])
            placed = start
            if _improve_window(prefix, references, successors, order, start, width,
                               grouped=grouped, threads=threads, mpi=mpi):
                for j, other in enumerate(starts):  # those overlapping it, itself aside
                    pending[j] = pending[j] or (j != k and abs(other - start) < width)
            pending[k] = False
            state.save(order, pending, k + 1)
            done += per_window
            if progress is not None:
                progress(done, done + sum(pending) * per_window)
        first = 0
    return order


def _improve_window(prefix: Prefix, references: list[np.ndarray], successors: list[int] | None,
                    order: list[int], start: int, width: int, *, grouped: bool, threads: int,
                    mpi: bool) -> bool:
    """Searches the window at `start` exactly and puts its best order in
    place when that beats the present one by more than rounding."""
    window = order[start:start + width]
    searched = prefix.searched(window)
    sinks, _ = search_sinks(engine_input(searched, grouped), engine_input(references, grouped),
                            _local_successors(successors, window), threads=threads, mpi=mpi)
    best = order_from_sinks(sinks, width)
    current = window_total(searched, references, list(range(width)), grouped)
    found = window_total(searched, references, best, grouped)
    if found - current <= IMPROVEMENT * max(1.0, abs(current)):
        return False
    order[start:start + width] = [window[j] for j in best]
    return True
