"""The large search: the best order of a block of more than 30 variables on
the candidate-parent score (candidates.py).

1. Start: DirectLiNGAM's pairwise rule by default; or bottom-up (sink
   first), top-down (the window search's greedy start), or a beam over the
   subset lattice of K states a level (starts.py, beam.py).
2. Local search (moves.py): insertions of single variables anywhere, exact
   windows on the grid and at the thinnest margins, in turn until none
   improves the total.
3. Restarts: the best order so far with a few variables moved at random
   (from a fixed seed: the same search every time), searched locally again,
   and kept when its total is higher. The local optima of a long order are
   many; a shaken optimum often leads to a better one. Restarts go on until
   `patience` of them in a row have found nothing better, or `restarts`
   have run.

Every step keeps the block's constraints, and the total never falls. A
checkpoint keeps the best order and the restarts done; under MPI every rank
searches, and all take rank 0's order.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel._blocks.beam import beam_order
from varkel._blocks.candidates import CandidateScore, candidate_parents
from varkel._blocks.moves import LocalSearch, Precedence, better, perturbed
from varkel._blocks.starts import bottom_up_order, pairwise_order
from varkel._blocks.state import StateFile
from varkel._blocks.windows import greedy_order
from varkel._options import workers

STARTS = ("pairwise", "bottom-up", "top-down", "beam")
RESTART_SEED = 20261210  # the restarts' random moves: fixed, so runs repeat


@dataclass(frozen=True)
class LargeSettings:
    """What the large search does; large_settings chooses them."""

    start: str          # one of STARTS
    beam: int | None    # states kept a level, with start "beam"
    window: int         # the windows' width
    threshold: float    # candidate parents: |partial correlation| above this
    restarts: int       # at most this many restarts
    patience: int       # ... ending after this many in a row found nothing better
    moves: int          # variables moved at random for a restart

    def describe(self) -> str:
        start = f"beam K={self.beam}" if self.start == "beam" else f"{self.start} start"
        return (f"large ({start}, windows w={self.window}, restarts until "
                f"{self.patience} fail, candidate parents |partial r| > {self.threshold:g})")

    def planned_steps(self, n_vars: int) -> int:
        """The steps a search of n_vars variables is expected to take, for
        progress: the start, then local searches of about two rounds, as
        many as twice the patience."""
        return n_vars + (min(self.restarts, 2 * self.patience) + 1) * self.local_steps(n_vars)

    def local_steps(self, n_vars: int) -> int:
        windows = 2 * (2 * n_vars // max(1, self.window) + 1)
        return 2 * (n_vars + windows)


def large_settings(n_vars: int, n_samples: int, *, beam: int | None,
                   window: int | None) -> LargeSettings:
    """The settings for a block of n_vars variables and n_samples samples;
    beam and window as the caller gave them (None: chosen here).

    The candidates' partial-correlation threshold is 0.1 up to 700 samples
    and 70 / n_samples above: with more samples a weaker partial correlation
    is real, and leaving it out of the candidates blinds the score to that
    edge (at 1000 samples, 0.1 lost a few ancestor pairs that the pairwise
    start had right; 0.05 kept them but made the search stop short more
    often on nearly Gaussian data; 0.07 did best of the three)."""
    return LargeSettings(start="pairwise" if beam is None else "beam", beam=beam,
                         window=min(window or 12, n_vars),
                         threshold=min(0.1, 70 / n_samples),
                         restarts=200, patience=20, moves=max(3, n_vars // 30))


class _Steps:
    """Counts the search's steps and reports them as progress, with the
    total re-estimated from what is left."""

    def __init__(self, progress: Callable[[int, int], Any] | None, planned: int) -> None:
        self.progress, self.done, self.left = progress, 0, planned

    def __call__(self, *_: object) -> None:
        self.done += 1
        self.left = max(self.left - 1, 1)
        if self.progress is not None:
            self.progress(self.done, self.done + self.left)

    def plan(self, left: int) -> None:
        self.left = max(left, 1)


def start_order(settings: LargeSettings, score: CandidateScore,
                matrices: Sequence[np.ndarray], references: Sequence[np.ndarray],
                successors: Sequence[int] | None, precedence: Precedence, *, threads: int,
                step: Callable[..., Any]) -> list[int]:
    if settings.start == "pairwise":
        return pairwise_order(matrices, precedence, threads=threads, step=step)
    if settings.start == "bottom-up":
        return bottom_up_order(score, precedence, step)
    if settings.start == "beam":
        assert settings.beam is not None
        return beam_order(score, settings.beam, precedence, step)
    order = greedy_order(list(matrices), list(references),
                         None if successors is None else list(successors))
    step()
    return order


def large_search(matrices: Sequence[np.ndarray], references: Sequence[np.ndarray],
                 successors: Sequence[int] | None, settings: LargeSettings, *,
                 regressed_out: int, threads: int, progress: Callable[[int, int], Any] | None,
                 state: StateFile, mpi: bool,
                 start: list[int] | None = None) -> tuple[list[int], float]:
    """The found order of the block and its total on the candidate-parent
    score. matrices: each group's block, with `regressed_out` earlier
    columns regressed out. start: an order to begin from in place of the
    settings' start."""
    n_vars = matrices[0].shape[1]
    score = CandidateScore(matrices, references,
                           candidate_parents(matrices, settings.threshold, regressed_out))
    precedence = Precedence(successors, n_vars)
    steps = _Steps(progress, settings.planned_steps(n_vars))
    local = LocalSearch(score, precedence, settings.window, steps)
    saved = state.load()
    if saved is None:
        if start is None:
            start = start_order(settings, score, matrices, references, successors, precedence,
                                threads=workers(threads), step=steps)
        best, first, last_better = local.run(start), 1, 0
        state.save(order=best, restart=first, last_better=last_better)
    else:
        best, first, last_better = state.fields(lambda: (
            [int(v) for v in saved["order"]], int(saved["restart"]), int(saved["last_better"])))
    best_total = score.total(best)
    for restart in range(first, settings.restarts + 1):
        if restart - last_better > settings.patience:
            break
        steps.plan(min(settings.restarts + 1 - restart, settings.patience + 1 + last_better
                       - restart) * settings.local_steps(n_vars))
        rng = np.random.default_rng([RESTART_SEED, restart])
        shaken, moved = perturbed(best, settings.moves, rng, precedence)
        found = local.run(shaken, focus=local.neighbours(moved))
        if better(score.total(found), best_total):
            best = local.run(found)  # certified: every move tried again
            best_total, last_better = score.total(best), restart
        state.save(order=best, restart=restart + 1, last_better=last_better)
    if mpi:
        from varkel._mpi import mpi_world  # noqa: PLC0415 - MPI is optional

        best = mpi_world().bcast(best, root=0)
        best_total = score.total(best)
    return best, best_total
