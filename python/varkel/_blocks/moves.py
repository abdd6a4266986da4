"""Moves of the large search, each exact on the candidate-parent score.

- Insertion: one variable taken out and put back at the position where the
  order's total is highest, however far away. Moving v changes only v's
  score and those of the variables it passes that have v as a candidate
  parent, so every position is priced from two cached scores per variable.
- Window: w consecutive positions reordered by an exact dynamic programme
  over their 2^w subsets. A window member's score depends only on which of
  its candidate parents come before it, so the programme needs, per member,
  one score for each subset of its candidates inside the window.

Windows sweep a grid (every w/2 positions, as the window search does) and
then centre on the positions where swapping neighbours costs least: the
order is least certain there, and a window off the grid can reorder what
straddles two grid windows.

A move is kept only when the order's total, summed again from first to
last, rises by more than rounding; so the total never falls and no
sequence of moves can cycle. A window's best order depends only on its
variables and the set before it, so each is searched once and looked up
after.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from varkel._blocks.candidates import CandidateScore

# A move must raise the total by more than this share of it; below that the
# difference is rounding (the same regressions summed in another order).
IMPROVEMENT = 1e-12

Step = Callable[[], Any]  # called after each move tried: progress, interruption


class Precedence:
    """The constraints of one block: bit b of after[a] means a before b."""

    def __init__(self, successors: Sequence[int] | None, n_vars: int) -> None:
        self.after = [0] * n_vars if successors is None else list(successors)
        self.before = [0] * n_vars
        for a, mask in enumerate(self.after):
            for b in range(n_vars):
                if mask >> b & 1:
                    self.before[b] |= 1 << a

    def placeable(self, v: int, placed: int) -> bool:
        """Whether v may follow exactly the variables of `placed`."""
        return self.before[v] & ~placed == 0 and self.after[v] & placed == 0

    def span(self, v: int, rest: Sequence[int]) -> tuple[int, int]:
        """The positions of `rest` (an order without v) at which v may be
        inserted: from the first after all that must precede it, to the last
        before any that must follow it."""
        lo, hi = 0, len(rest)
        for k, u in enumerate(rest):
            if self.before[v] >> u & 1:
                lo = k + 1
            if self.after[v] >> u & 1 and hi == len(rest):
                hi = k
        return lo, hi


def better(new: float, current: float) -> bool:
    return new - current > IMPROVEMENT * max(1.0, abs(current))


def best_insertion(score: CandidateScore, order: list[int], v: int,
                   precedence: Precedence) -> list[int] | None:
    """The order with v moved to its best position, or None when no
    position beats the present one."""
    here = order.index(v)
    rest = order[:here] + order[here + 1:]
    lo, hi = precedence.span(v, rest)
    bit = 1 << v
    without, with_v, own = np.empty(len(rest)), np.empty(len(rest)), np.empty(len(rest) + 1)
    before = 0
    for k, u in enumerate(rest):
        own[k] = score.score(v, before)
        without[k] = score.score(u, before)
        with_v[k] = score.score(u, before | bit) if score.candidates[u] & bit else without[k]
        before |= 1 << u
    own[-1] = score.score(v, before)
    # Total with v at position b: the variables before it without v, v on
    # them, the variables after it with v.
    totals = (np.concatenate(([0.0], np.cumsum(without))) + own
              + np.concatenate((np.cumsum(with_v[::-1])[::-1], [0.0])))
    target = lo + int(np.argmax(totals[lo:hi + 1]))
    if target == here or not better(totals[target], totals[here]):
        return None
    return [*rest[:target], v, *rest[target:]]


_LEVELS: dict[int, tuple[np.ndarray, np.ndarray]] = {}


def _levels(width: int) -> tuple[np.ndarray, np.ndarray]:
    """The window's subset masks by member count, and where each count starts."""
    if width not in _LEVELS:
        masks = np.arange(1 << width, dtype=np.int64)
        counts = np.zeros(1 << width, dtype=np.int64)
        for i in range(width):
            counts += masks >> i & 1
        by_level = np.argsort(counts, kind="stable")
        _LEVELS[width] = by_level, np.searchsorted(counts[by_level], np.arange(width + 2))
    return _LEVELS[width]


def _member_scores(score: CandidateScore, window: list[int], before: int, v: int) -> tuple[
        int, np.ndarray]:
    """v's candidates inside the window (a window mask), and v's score for
    each subset of them preceding it (indexed by that window mask)."""
    local = sum(1 << j for j, u in enumerate(window) if score.candidates[v] >> u & 1)
    scores = np.zeros(1 << len(window))
    subset = local
    while True:
        placed = before | sum(1 << u for j, u in enumerate(window) if subset >> j & 1)
        scores[subset] = score.score(v, placed)
        if subset == 0:
            return local, scores
        subset = (subset - 1) & local


def window_order(score: CandidateScore, order: list[int], start: int, width: int,
                 precedence: Precedence) -> list[int]:
    """The best order of the window's variables after the order's first
    `start`, by the subset dynamic programme (ties to the lowest position)."""
    window = order[start:start + width]
    before = sum(1 << u for u in order[:start])
    members = [_member_scores(score, window, before, v) for v in window]
    # Constraints inside the window: member i may end a subset only when
    # none of the subset's other members must follow it.
    follows = [sum(1 << j for j, u in enumerate(window) if precedence.after[v] >> u & 1)
               for v in window]
    best = np.full(1 << width, -np.inf)
    best[0] = 0.0
    sink = np.full(1 << width, -1, dtype=np.int64)
    by_level, starts = _levels(width)
    for k in range(1, width + 1):
        subsets = by_level[starts[k]:starts[k + 1]]
        level_best = np.full(len(subsets), -np.inf)
        level_sink = np.full(len(subsets), -1, dtype=np.int64)
        for i, (local, scores) in enumerate(members):
            rows = np.nonzero((subsets >> i & 1) & (subsets & follows[i] == 0))[0]
            parents = subsets[rows] ^ (1 << i)
            candidate = best[parents] + scores[parents & local]
            wins = candidate > level_best[rows]
            level_best[rows[wins]] = candidate[wins]
            level_sink[rows[wins]] = i
        best[subsets], sink[subsets] = level_best, level_sink
    found, subset = [], (1 << width) - 1
    while subset:
        i = int(sink[subset])
        found.append(window[i])
        subset ^= 1 << i
    return found[::-1]


def grid_starts(n_vars: int, width: int) -> list[int]:
    step = max(1, width // 2)
    starts = list(range(0, n_vars - width + 1, step))
    if starts[-1] != n_vars - width:
        starts.append(n_vars - width)
    return starts


def thin_margin_starts(score: CandidateScore, order: list[int], width: int) -> list[int]:
    """Window starts centred on the adjacent pairs whose swap costs least,
    the thinnest first, one per width / 2 positions."""
    costs, before = [], 0
    for k in range(len(order) - 1):
        a, b = order[k], order[k + 1]
        kept = score.score(a, before) + score.score(b, before | 1 << a)
        swapped = score.score(b, before) + score.score(a, before | 1 << b)
        costs.append(kept - swapped)
        before |= 1 << a
    last = len(order) - width
    starts: list[int] = []
    for k in np.argsort(costs, kind="stable")[:max(1, len(order) // max(1, width // 2))]:
        start = min(max(int(k) + 1 - width // 2, 0), last)
        if all(abs(start - s) >= max(1, width // 2) for s in starts):
            starts.append(start)
    return starts


class LocalSearch:
    """The moves of one block's search, and what they have learnt: the best
    order of every window searched so far, by its variables and the set
    before it (all a window's best order depends on), so that a window seen
    again, in a later round or restart, costs a lookup."""

    def __init__(self, score: CandidateScore, precedence: Precedence, width: int,
                 step: Step) -> None:
        self.score, self.precedence, self.step = score, precedence, step
        self.width = min(width, score.n_vars)
        self.windows: dict[tuple[int, int], list[int]] = {}

    def neighbours(self, variables: set[int]) -> set[int]:
        """The variables and their candidate parents (and children)."""
        found = set(variables)
        for v in variables:
            mask = self.score.candidates[v]
            found.update(u for u in range(self.score.n_vars) if mask >> u & 1)
        return found

    def insertions(self, order: list[int], only: set[int] | None = None) -> set[int]:
        """Tries each variable's best insertion (of those in `only`, if
        given), in the order's order; returns the variables moved."""
        moved: set[int] = set()
        current = self.score.total(order)
        for v in list(order):
            if only is not None and v not in only:
                continue
            candidate = best_insertion(self.score, order, v, self.precedence)
            if candidate is not None:
                total = self.score.total(candidate)
                if better(total, current):
                    order[:], current = candidate, total
                    moved.add(v)
            self.step()
        return moved

    def window_sweep(self, order: list[int], starts: list[int]) -> set[int]:
        """Reorders each window in turn; returns the variables of the
        windows changed."""
        moved: set[int] = set()
        current, before, placed = self.score.total(order), 0, 0
        for start in starts:
            for v in order[placed:start]:
                before |= 1 << v
            placed = start
            window = order[start:start + self.width]
            key = (sum(1 << v for v in window), before)
            best = self.windows.get(key)
            if best is None:
                best = self.windows[key] = window_order(self.score, order, start, self.width,
                                                        self.precedence)
            if best != window:
                reordered = order[:start] + best + order[start + self.width:]
                total = self.score.total(reordered)
                if better(total, current):
                    order[:], current = reordered, total
                    moved.update(window)
            self.step()
        return moved

    def run(self, order: list[int], focus: set[int] | None = None) -> list[int]:
        """Insertions, grid windows and thin-margin windows in turn, until a
        round of all three changes nothing: then no single variable can move
        and no window of the grid or at the thinnest margins can be
        reordered for a higher total. With `focus`, insertions are tried
        only for those variables and, round by round, for the ones moved and
        their candidates; the windows all the same (the unchanged ones are
        looked up); that result is not certified."""
        order = list(order)
        while True:
            moved = self.insertions(order, focus)
            moved |= self.window_sweep(order, grid_starts(len(order), self.width))
            moved |= self.window_sweep(order, thin_margin_starts(self.score, order,
                                                                 self.width))
            if not moved:
                return order
            if focus is not None:
                focus = self.neighbours(moved)


def perturbed(order: list[int], moves: int, rng: np.random.Generator,
              precedence: Precedence) -> tuple[list[int], set[int]]:
    """The order with `moves` variables moved to random allowed positions,
    and the variables moved."""
    order, moved = list(order), set()
    for _ in range(moves):
        v = order.pop(int(rng.integers(len(order))))
        lo, hi = precedence.span(v, order)
        order.insert(int(rng.integers(lo, hi + 1)), v)
        moved.add(v)
    return order, moved
