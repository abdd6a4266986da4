"""The command line's progress bar for long searches, and its estimate of
how long a search will take.

The estimate comes from the search's own progress: the work done so far and
the time it took, scaled to the whole search. Scores with more parents cost
more (their residuals take one more product per parent), so work is counted
with a weight per score that grows with the number of parents.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from math import comb
from typing import TextIO

# Relative cost of a score with p parents: 1 + p / PARENT_COST_RATIO.
PARENT_COST_RATIO = 24


class SearchDeclined(Exception):
    """The user (or the lack of --yes) stopped a search estimated as too long."""


def format_duration(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f} s"
    if seconds < 90 * 60:
        return f"{seconds / 60:.0f} min"
    if seconds < 48 * 3600:
        return f"{int(seconds // 3600)} h {int(seconds % 3600 // 60)} min"
    return f"{seconds / 86400:.1f} days"


class WorkModel:
    """Weighted work of a search over n variables, by scores done.

    Work is counted in exact integers (a score with p parents weighs
    PARENT_COST_RATIO + p), so the model holds for any number of variables.
    """

    def __init__(self, n_vars: int) -> None:
        self.levels = [(comb(n_vars, k) * k, PARENT_COST_RATIO + k - 1)
                       for k in range(1, n_vars + 1)]
        self.total = sum(scores * weight for scores, weight in self.levels)
        self.scores = sum(scores for scores, _ in self.levels)

    @classmethod
    def flat(cls, scores: int) -> WorkModel:
        """`scores` scores of equal weight."""
        model = cls(0)
        model.levels, model.total, model.scores = [(scores, 1)], scores, scores
        return model

    def done(self, scores_done: int) -> int:
        """Weighted work of the first `scores_done` scores (levels run in order)."""
        work, left = 0, scores_done
        for scores, weight in self.levels:
            taken = min(left, scores)
            work += taken * weight
            left -= taken
            if left <= 0:
                break
        return work


class ProgressBar:
    """A progress callback for varkel's searches.

    After `delay` seconds it draws done/total, the rate and the time left on
    `stream` (redrawn in place on a terminal, a line every `log_every`
    seconds otherwise). Rates and estimates count from its first call, so a
    search resumed from a checkpoint is not credited with the levels it
    loaded. After one second of progress it estimates the rest of the search;
    above `confirm_above` seconds it asks on the terminal whether to go on,
    or without a terminal stops with SearchDeclined unless `assume_yes`.
    """

    def __init__(self, n_vars: int, *, stream: TextIO | None = None, delay: float = 1.5,
                 confirm_above: float = 3600.0, assume_yes: bool = False,
                 interactive: bool | None = None,
                 ask: Callable[[str], str] | None = None, log_every: float = 10.0,
                 clock: Callable[[], float] = time.perf_counter) -> None:
        self.model = WorkModel(n_vars)
        self.stream = stream if stream is not None else sys.stderr
        self.delay, self.confirm_above, self.assume_yes = delay, confirm_above, assume_yes
        self.tty = self.stream.isatty()
        if interactive is None:
            interactive = self.tty and sys.stdin is not None and sys.stdin.isatty()
        self.interactive = interactive
        self.ask = ask if ask is not None else self._ask_terminal
        self.log_every = log_every
        self.clock = clock
        self.start = clock()
        self.paused = 0.0
        self.checked = False
        self.drawn = False
        self.last_log = 0.0
        self.width = 0  # of the line drawn last on a terminal
        self.last_done = 0
        self.base: tuple[int, int, float] | None = None  # done, work, time at the first call

    def __call__(self, done: int, total: int) -> None:
        elapsed = self.clock() - self.start - self.paused
        if total != self.model.scores:
            # Not one search of n variables (a search in blocks, or by
            # windows): every score counts alike.
            self.model = WorkModel.flat(total)
        work = self.model.done(done)
        restarted = done < self.last_done  # a second pass (order margins) starts from 0
        self.last_done = done
        if self.base is None or restarted:
            self.base = (done, work, elapsed)
            return
        base_done, base_work, base_time = self.base
        spent, worked = elapsed - base_time, work - base_work
        if worked <= 0 or spent <= 0:
            return
        if not self.checked and spent >= 1.0 and done < total:
            self.checked = True
            self._confirm(spent * (self.model.total - base_work) / worked)
        if elapsed < self.delay or (done >= total and not self.drawn):
            return
        left = spent * (self.model.total - work) / worked
        self._draw(done, total, (done - base_done) / spent, left)

    def _confirm(self, estimate: float) -> None:
        if estimate <= self.confirm_above or self.assume_yes:
            return
        text = f"this search is estimated to take about {format_duration(estimate)}"
        if not self.interactive:
            raise SearchDeclined(f"{text}; rerun with --yes to run it anyway")
        asked = self.clock()
        self._clear()
        answer = self.ask(f"{text}. Continue? [y/N] ")
        self.paused += self.clock() - asked
        if answer.strip().lower() not in ("y", "yes"):
            raise SearchDeclined("search cancelled")

    def _ask_terminal(self, prompt: str) -> str:
        self.stream.write(prompt)
        self.stream.flush()
        return sys.stdin.readline()

    def _draw(self, done: int, total: int, rate: float, left: float) -> None:
        share = done / total if total else 1.0
        text = (f"[{'#' * int(share * 30):<30}] {done:,}/{total:,} scores  {rate:,.0f}/s  "
                f"{format_duration(left)} left")
        now = self.clock()
        if self.tty:
            # Padded to the last line's width, so a shorter line leaves no tail.
            self.stream.write("\r" + text.ljust(self.width))
            self.width = len(text)
        elif now - self.last_log >= self.log_every or done >= total:
            self.last_log = now
            self.stream.write(text + "\n")
        else:
            return
        self.drawn = True
        self.stream.flush()

    def _clear(self) -> None:
        if self.tty and self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False

    def close(self) -> None:
        """Ends the bar's line on a terminal."""
        self._clear()


class CountBar:
    """A progress callback for counted work (such as bootstrap resamples):
    after `delay` seconds it shows done/total on a terminal."""

    def __init__(self, what: str, *, stream: TextIO | None = None, delay: float = 1.5) -> None:
        self.what = what
        self.stream = stream if stream is not None else sys.stderr
        self.delay = delay
        self.start = time.perf_counter()
        self.drawn = False

    def __call__(self, done: int, total: int) -> None:
        if not self.stream.isatty() or time.perf_counter() - self.start < self.delay:
            return
        self.stream.write(f"\r{self.what}: {done:,}/{total:,}")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
