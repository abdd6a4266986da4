"""The score of the large search: each variable regressed on the variables
before it that are among its candidate parents, not on the whole prefix.

With a few hundred samples and a prefix of a hundred variables, a least-
squares fit on the whole prefix takes a share (prefix / samples) of the
residual's variance out along directions fitted to the noise, and what it
leaves is closer to Gaussian than the noise it should show: late positions
are scored down whatever the order, and the search answers that bias
instead of the data. In the true order a variable's residual on its
predecessors depends on its parents only, so regressing on the predecessors
that can be parents loses nothing there.

A variable's candidate parents are the variables whose partial correlation
with it, given all the others, is above a threshold in size (0.1, lower
with many samples: see large.large_settings) and not ruled out by a t-test
at |t| > 1.5: its Markov blanket, generously. Recall matters more
than precision here: a parent left out leaves its share of the variable in
the residual, while a spare regressor costs about 1 / samples of it. The
set is symmetric, and with several groups the union of theirs. It is fixed for
the search, so a score depends only on the variable and on which of its
candidates come before it: scores are cached, and a move's effect is known
from the few scores it changes.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from varkel._blocks.windows import score_residual

# A partial correlation counts only when a t-test on it passes this too:
# with few samples per variable, 0.1 is within the test's noise.
MIN_T = 1.5


def candidate_parents(matrices: Sequence[np.ndarray], threshold: float,
                      regressed_out: int = 0) -> list[int]:
    """Bit u of [v]: u may be a parent of v (and v of u): their partial
    correlation given all the others exceeds `threshold` in size, and its
    t statistic MIN_T.

    matrices: each group's centred block, its columns already regressed on
    `regressed_out` earlier columns (which the test's degrees of freedom
    then lose)."""
    n_vars = matrices[0].shape[1]
    chosen = np.zeros((n_vars, n_vars), dtype=bool)
    for matrix in matrices:
        n_samples = matrix.shape[0]
        precision = np.linalg.inv(matrix.T @ matrix / n_samples)
        scale = np.sqrt(np.diag(precision))
        partial = -precision / np.outer(scale, scale)
        np.fill_diagonal(partial, 0.0)
        freedom = max(n_samples - n_vars - regressed_out, 1)
        squared = np.minimum(partial * partial, 1.0 - 1e-15)
        chosen |= (squared > threshold * threshold) & (
            squared * freedom > MIN_T * MIN_T * (1.0 - squared))
    chosen |= chosen.T
    weights = 1 << np.arange(n_vars, dtype=object)
    return [int(weights[row].sum()) for row in chosen]


class CandidateScore:
    """score(v, before): v's score (summed over groups) regressed on the
    members of the variable mask `before` that are among its candidate
    parents. Each distinct regression is computed once."""

    def __init__(self, matrices: Sequence[np.ndarray], references: Sequence[np.ndarray],
                 candidates: Sequence[int]) -> None:
        self.matrices = list(matrices)
        self.references = list(references)
        # A variable is never its own candidate, whatever the caller gave.
        self.candidates = [mask & ~(1 << v) for v, mask in enumerate(candidates)]
        self.n_vars = self.matrices[0].shape[1]
        self.grams = [m.T @ m for m in self.matrices]
        self.cache: dict[tuple[int, int], float] = {}

    @property
    def evaluations(self) -> int:
        """Distinct regressions scored so far."""
        return len(self.cache)

    def score(self, v: int, before: int) -> float:
        key = (v, before & self.candidates[v])
        found = self.cache.get(key)
        if found is None:
            found = self.cache[key] = self._fit(v, key[1])
        return found

    def _fit(self, v: int, parents: int) -> float:
        columns = [u for u in range(self.n_vars) if parents >> u & 1]
        total = 0.0
        for matrix, gram, reference in zip(self.matrices, self.grams, self.references,
                                           strict=True):
            residual = matrix[:, v]
            if columns:
                beta = np.linalg.solve(gram[np.ix_(columns, columns)], gram[columns, v])
                residual = residual - matrix[:, columns] @ beta
            total += score_residual(residual, reference)
        return total

    def total(self, order: Sequence[int]) -> float:
        """The order's total: its scores summed in double, first to last."""
        total, before = 0.0, 0
        for v in order:
            total += self.score(v, before)
            before |= 1 << v
        return total
